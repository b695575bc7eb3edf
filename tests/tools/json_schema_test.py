#!/usr/bin/env python3
# tests/tools/json_schema_test.py: every JSON output of records and gaps
# checked against docs/record.schema.json, with the real tools and a real
# example host: tail --json (and its capture), replay --json of that capture
# with a datagram cut out (a gap), record --import of it then query --json,
# and the web API and event stream of web, as a viewer of that store
# (records and the gap) and following the host live; query --stats --json
# names receive times as records do; a level change made in the live
# console is an audit entry of the stream, GET /api/audit and query --audit
# --json alike. Each output must
# validate entry by entry and hold what it should (records, a gap, ids
# where the entry comes from a store). Run in a network namespace of its
# own (common/in_netns.sh). Exits 77 (skipped) without python3-jsonschema.
import argparse, json, os, re, shutil, struct, subprocess, sys, threading, time, urllib.request

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed: skipped", file=sys.stderr)
    sys.exit(77)

ARGS = None
SCHEMA = None
VALIDATOR = None
FAILURES = []
TIMEOUT = 30  # seconds: a bound that catches a hang, never a speed limit
# Straight to the console on loopback, whatever proxy the environment names.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def check(name, condition, detail=""):
    if not condition:
        FAILURES.append("%s: %s" % (name, detail))
        print("FAIL %s %s" % (name, detail), file=sys.stderr)


def validate(name, entries, from_store):
    """Every entry against the schema; counts by type. Entries from a store
    carry an id, the others none."""
    counts = {"record": 0, "gap": 0, "audit": 0}
    for i, entry in enumerate(entries):
        error = jsonschema.exceptions.best_match(VALIDATOR.iter_errors(entry))
        if error is not None:
            check(name, False, "entry %d does not follow the schema: %s\n  %s" %
                  (i, error.message, json.dumps(entry)[:400]))
            return counts
        check(name, ("id" in entry) == from_store,
              "entry %d: an id only where the entry comes from a store: %s" % (i, json.dumps(entry)))
        counts[entry["type"]] += 1
    return counts


def lines(text):
    return [json.loads(line) for line in text.splitlines() if line]


def remote(*args, expect=(0,)):
    result = subprocess.run([ARGS.remote] + list(args), capture_output=True, text=True,
                            timeout=TIMEOUT)
    if result.returncode not in expect:
        raise AssertionError("tarvin-remote %s exited %d: %s" %
                             (" ".join(args), result.returncode, result.stderr))
    return result


class Process:
    """A long-running tool; `first_line` waits for what it prints at start."""

    def __init__(self, command, pattern):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.match = None
        deadline = time.monotonic() + TIMEOUT
        seen = []
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            seen.append(line)
            self.match = re.search(pattern, line)
            if self.match:
                break
        if not self.match:
            self.stop()
            raise AssertionError("%s did not start: %s %s" %
                                 (command[0], "".join(seen), self.process.stderr.read()))
        # Whatever it prints later must not fill the pipe and stall it.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()
        threading.Thread(target=self.process.stderr.read, daemon=True).start()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def pcap_packets(data):
    """The global header and each packet (header included) of a pcap file."""
    magic = struct.unpack("<I", data[:4])[0]
    order = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    packets, at = [], 24
    while at < len(data):
        caplen = struct.unpack(order + "I", data[at + 8:at + 12])[0]
        packets.append(data[at:at + 16 + caplen])
        at += 16 + caplen
    return data[:24], packets


def cut_capture(capture, workdir):
    """The capture with one record datagram from its middle cut out, so that
    replay sees a gap: tried packet by packet from the middle on, as the
    capture holds other datagrams (confirms, level descriptions) as well."""
    with open(capture, "rb") as f:
        header, packets = pcap_packets(f.read())
    cut = os.path.join(workdir, "cut.pcap")
    for drop in range(len(packets) // 2, len(packets) - 2):
        with open(cut, "wb") as f:
            f.write(header + b"".join(p for i, p in enumerate(packets) if i != drop))
        replayed = remote("replay", "--json", cut)
        if any(e["type"] == "gap" for e in lines(replayed.stdout)):
            return cut, replayed
    raise AssertionError("no packet of %s left a gap when cut out" % capture)


def get_json(url):
    with OPENER.open(url, timeout=TIMEOUT) as answer:
        return json.loads(answer.read())


def stream_events(url, enough, kinds=("record", "gap")):
    """The events of /api/stream of `kinds` until enough(entries)."""
    entries = []
    deadline = time.monotonic() + TIMEOUT
    with OPENER.open(url, timeout=TIMEOUT) as answer:
        event = None
        while time.monotonic() < deadline and not enough(entries):
            line = answer.readline().decode()
            if not line:
                break
            if line.startswith("event: "):
                event = line[7:].strip()
            elif line.startswith("data: ") and event in kinds:
                entry = json.loads(line[6:])
                check("stream event name", entry.get("type") == event,
                      "event %s carries %s" % (event, line[:200]))
                entries.append(entry)
    return entries


def main():
    global ARGS, SCHEMA, VALIDATOR
    parser = argparse.ArgumentParser()
    parser.add_argument("--remote", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--schema", required=True)
    parser.add_argument("--workdir", required=True)
    ARGS = parser.parse_args()
    with open(ARGS.schema) as f:
        SCHEMA = json.load(f)
    jsonschema.Draft202012Validator.check_schema(SCHEMA)
    VALIDATOR = jsonschema.Draft202012Validator(SCHEMA, format_checker=jsonschema.FormatChecker())
    workdir = os.path.join(ARGS.workdir, "json_schema_test")
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)

    host = Process([ARGS.host, "--plugin", ARGS.plugin, "--name", "json-host", "--rate", "200",
                    "--threads", "2"], r"target port (\d+)")
    target = "127.0.0.1:" + host.match.group(1)
    try:
        capture = os.path.join(workdir, "tail.pcap")
        tailed = lines(remote("tail", target, "--json", "--count", "60", "--pcap", capture).stdout)
        counts = validate("tail --json", tailed, from_store=False)
        check("tail --json", counts["record"] == 60, counts)
        check("tail --json names the application",
              all(e["application"] == "json-host" and e["target"] == target for e in tailed),
              json.dumps(tailed[:1]))

        cut, replayed = cut_capture(capture, workdir)
        counts = validate("replay --json", lines(replayed.stdout), from_store=False)
        check("replay --json", counts["record"] >= 50 and counts["gap"] == 1, counts)

        db = os.path.join(workdir, "cut.db")
        remote("record", "--db", db, "--import", cut, expect=(1,))  # 1: the capture lost records
        queried = lines(remote("query", "--db", db, "--json").stdout)
        counts = validate("query --json", queried, from_store=True)
        check("query --json", counts["record"] >= 50 and counts["gap"] == 1, counts)
        # --stats names receive times as records have them.
        stats = json.loads(remote("query", "--db", db, "--stats", "--json").stdout)
        received = re.compile(SCHEMA["$defs"]["received"]["pattern"])
        check("query --stats --json", all(received.match(stats[k]) for k in ("first", "last")) and
              (stats["first"], stats["last"]) == (queried[0]["received"], queried[-1]["received"]),
              "first %s, last %s" % (stats["first"], stats["last"]))

        viewer = Process([ARGS.remote, "web", "--db", db, "--listen", "127.0.0.1:0"],
                         r"web console at (http://\S+/)")
        try:
            base = viewer.match.group(1)
            body = get_json(base + "api/records?order=oldest")
            counts = validate("web /api/records", body["records"], from_store=True)
            check("web /api/records", counts == {"record": counts["record"], "gap": 1, "audit": 0} and
                  counts["record"] >= 50, counts)
            check("web /api/records is query --json", body["records"] == queried,
                  "the same entries of the same store differ")
            streamed = stream_events(base + "api/stream?last_id=0",
                                     lambda got: len(got) == len(queried))
            validate("web /api/stream", streamed, from_store=True)
            check("web /api/stream is query --json", streamed == queried,
                  "%d events of %d entries" % (len(streamed), len(queried)))
        finally:
            viewer.stop()

        live_db = os.path.join(workdir, "live.db")
        live = Process([ARGS.remote, "web", target, "--listen", "127.0.0.1:0", "--db", live_db],
                       r"web console at (http://\S+/)")
        try:
            base = live.match.group(1)
            streamed = stream_events(base + "api/stream?last_id=0", lambda got: len(got) >= 20)
            counts = validate("web /api/stream, live", streamed, from_store=True)
            check("web /api/stream, live", counts["record"] >= 20, counts)
            body = get_json(base + "api/records")
            counts = validate("web /api/records, live", body["records"], from_store=True)
            check("web /api/records, live", counts["record"] >= 20, counts)
            # A level change: the stream's audit event, the API's row and
            # query's line are one form.
            change = urllib.request.Request(
                base + "api/targets/%s/components/db/levels" % target, method="PUT",
                data=json.dumps({"levels": "+debug"}).encode(),
                headers={"Content-Type": "application/json", "Origin": base.rstrip("/")})
            OPENER.open(change, timeout=TIMEOUT).read()
            marks = stream_events(base + "api/stream?audit_since=0", lambda got: len(got) >= 1,
                                  kinds=("audit",))
            counts = validate("web /api/stream, audit", marks, from_store=True)
            check("web /api/stream, audit", counts["audit"] == 1, counts)
            audit = get_json(base + "api/audit")["audit"]
            counts = validate("web /api/audit", audit, from_store=True)
            check("web /api/audit is the stream's", audit == marks, json.dumps(audit)[:400])
            queried = lines(remote("query", "--db", live_db, "--audit", "--json").stdout)
            validate("query --audit --json", queried, from_store=True)
            check("query --audit --json is the API's", queried == audit, json.dumps(queried)[:400])
        finally:
            live.stop()
    finally:
        host.stop()

    if FAILURES:
        print("%d failed" % len(FAILURES), file=sys.stderr)
        return 1
    print("every output follows %s" % ARGS.schema)
    return 0


if __name__ == "__main__":
    sys.exit(main())
