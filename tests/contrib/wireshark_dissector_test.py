#!/usr/bin/env python3
# tests/contrib/wireshark_dissector_test.py: contrib/wireshark/tarvinremote.lua through tshark,
# in one pass and in two (-2), on `live` traffic of a real target (wireshark_traffic, captured
# on lo of a network namespace of its own) and on `malformed` crafted datagrams. Exits 77
# (skipped) without tshark, or for `live` without dumpcap.
import argparse, os, shutil, socket, struct, subprocess, sys, threading, time, unittest

ARGS = None
FIELDS = ("fd uuid reqid cmask cmask.level name appname count level text seq int1 int2 int3 int4 "
          "str1 str2 str3 str4 gap jump_frame expected_seq prev_frame extra").split()
EXPERTS = ("truncated missing_nul count_mismatch extra_bytes ignored_bytes unknown_fd name_too_long "
           "seq_gap seq_gap_filled seq_out_of_order seq_back").split()
# Any of these means the dissector threw instead of flagging.
FAULTS = ["_ws.lua.error", "_ws.malformed.expert", "_ws.malformed.dissector_bug"]


def tshark(pcap, two_pass):
    """One dict per frame of the protocol: field -> value, plus frame, experts, faults."""
    columns = (["frame.number"] + ["tarvinremote." + f for f in FIELDS] +
               ["tarvinremote.expert." + e for e in EXPERTS] + FAULTS)
    command = ["tshark", "-n", "-r", pcap, "-X", "lua_script:" + ARGS.dissector, "-Y", "tarvinremote",
               "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"] + ["-2"] * two_pass
    result = subprocess.run(command + sum((["-e", c] for c in columns), []),
                            capture_output=True, text=True, timeout=30)
    if result.returncode != 0 or "Lua" in result.stderr:
        raise AssertionError("tshark failed (%d): %s" % (result.returncode, result.stderr))
    frames = []
    for line in result.stdout.splitlines():
        values = line.split("\t")
        frame = dict(zip(["frame"] + FIELDS, values))
        frame["experts"] = {e for e, v in zip(EXPERTS, values[1 + len(FIELDS):]) if v}
        frame["faults"] = "".join(values[1 + len(FIELDS) + len(EXPERTS):])
        frames.append(frame)
    return frames


def fields(text):
    return dict(item.split("=", 1) for item in text.split())


# Every datagram of wireshark_traffic in order; a number repeats an earlier one. Fields not
# named must be empty (a wrong kind's field is as much a fault as a wrong value). U is the
# target's uuid, #k the frame number of datagram k.
LIVE = [
    "fd=1", "fd=2 uuid=U appname=wsdemo", "fd=16", "fd=17 uuid=U appname=wsdemo",
    "fd=34 uuid=U reqid=0xffffffff cmask=0x70000000 cmask.level=30|29|28 name=net",
    "fd=34 uuid=U reqid=0xffffffff cmask=0x40000000 cmask.level=30 name=disk",
    "fd=48 uuid=U seq=0 int1=-1 int2=2147483647 int3=-2147483648 int4=42 cmask=0x20000000 "
    "cmask.level=29 str1=net str2=a.cpp str3=first() str4=first",
    "fd=48 uuid=U seq=1 int1=1 int2=2 int3=3 int4=4 cmask=0x10000000 cmask.level=28 str1=net "
    "str2=a.cpp str3=second() str4=second prev_frame=#6",
    # Client levels 30 and 28 are numeric 4 and 7; the host keeps 0-2 on (client level 31).
    "fd=33 reqid=0x00000011 cmask=0x50000000 cmask.level=30|28 name=disk",
    "fd=34 uuid=U reqid=0x00000011 cmask=0xd0000000 cmask.level=31|30|28 name=disk",
    "fd=64 reqid=0x00000022 name=net",
    "fd=65 uuid=U reqid=0x00000022 cmask=0x70000000 cmask.level=30|29|28 name=net count=4 "
    "level=31|30|29|28 text=Fatal|Warning|Info|Debug",
    "fd=19", 0, 1, 2, 3, 4,
    "fd=34 uuid=U reqid=0xffffffff cmask=0xd0000000 cmask.level=31|30|28 name=disk",
    # Records 2 and 3 went out while the client was unregistered: the jump is flagged at once.
    "fd=48 uuid=U seq=4 int1=7 int2=8 int3=9 int4=10 cmask=0x00000010 cmask.level=4 str1=disk "
    "str2=b.cpp str3=third() str4=after-gap prev_frame=#7 expected_seq=2 gap=2",
    "fd=48 uuid=U seq=5 int1=0 int2=0 int3=0 int4=0 cmask=0x80000000 cmask.level=31 prev_frame=#19",
    12, 0, 1,
]
GAP_DATAGRAM = 19


class LiveTraffic(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        dumpcap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-P", "-f", "udp", "-w", "-"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        data = bytearray()
        chunks = iter(lambda: os.read(dumpcap.stdout.fileno(), 65536), b"")
        reader = threading.Thread(target=lambda: [data.extend(c) for c in chunks], daemon=True)
        reader.start()

        def await_marker(marker):
            # dumpcap gives no sign that it captures: resend to the discard port until it shows,
            # so that nothing the driver exchanges falls outside the capture.
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                for _ in range(200):
                    s.sendto(marker, ("127.0.0.1", 9))
                    time.sleep(0.05)
                    if marker in data:
                        return
            raise AssertionError("dumpcap captured no %r" % marker)
        try:
            await_marker(b"capture start")
            driver = subprocess.run([ARGS.driver], capture_output=True, text=True, timeout=30)
            await_marker(b"capture end")
        finally:
            dumpcap.terminate()
            dumpcap.wait(timeout=10)
            reader.join(timeout=10)
        if driver.returncode != 0:
            raise AssertionError("wireshark_traffic failed: " + driver.stderr)
        cls.pcap = os.path.join(ARGS.workdir, "wireshark_live.pcap")
        with open(cls.pcap, "wb") as out:
            out.write(data)

    def test_every_kind_decodes_and_the_gap_stays_on_its_frame(self):
        # With -2 every frame is dissected again after all others: the gap verdict must not
        # depend on the record dissected last.
        for two_pass in (False, True):
            frames = tshark(self.pcap, two_pass)
            self.assertEqual(len(frames), len(LIVE), "one dissected frame per datagram")
            uuid = frames[1]["uuid"]
            self.assertRegex(uuid, "^[0-9a-f]{32}$")
            for i, frame in enumerate(frames):
                with self.subTest(two_pass=two_pass, datagram=i):
                    want = fields(LIVE[i] if isinstance(LIVE[i], str) else LIVE[LIVE[i]])
                    for name, value in want.items():
                        want[name] = (uuid if value == "U" else frames[int(value[1:])]["frame"]
                                      if value.startswith("#") else value)
                    self.assertEqual({f: frame[f] for f in FIELDS}, {f: want.get(f, "") for f in FIELDS})
                    self.assertEqual(frame["experts"], {"seq_gap"} if i == GAP_DATAGRAM else set())
                    self.assertEqual(frame["faults"], "")


def be32(*values):
    return b"".join(struct.pack(">I", v & 0xFFFFFFFF) for v in values)


UUID, OTHER_UUID, LONE_UUID = bytes(range(16)), bytes(range(16, 32)), b"\xa0" * 16
FILLED_UUID, ENDING_UUID = b"\xb0" * 16, b"\xc0" * 16


def record(seq, uuid=UUID):
    return be32(48) + uuid + be32(seq, 1, 2, 3, 4, 0x20000000) + b"net\0f.c\0fn\0text\0"


def ipv4(protocol, payload):
    """127.0.0.1 to itself; Wireshark does not check the header checksum by default."""
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0, 64, protocol, 0,
                       socket.inet_aton("127.0.0.1"), socket.inet_aton("127.0.0.1")) + payload


def udp(sport, dport, payload):
    return ipv4(17, struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload)


# (sent by: c client, t target, icmp target's datagram quoted in a port unreachable; payload;
# expert items; fields that must still decode). A pair (first pass, whole capture) where the
# second look at a frame (-2) knows more. One row per expert item, then the sequence check per
# target towards one client. Rows are 10 ms apart.
MALFORMED = [
    ("c", b"\0\0\x10", "truncated", ""),
    ("c", be32(0x7FFF) + b"ab", "unknown_fd", "fd=32767"),
    ("c", be32(1) + b"xyz", "ignored_bytes", "fd=1 extra=78797a"),
    ("c", be32(33, 5, 0x40000000) + b"disk", "missing_nul", "name=disk cmask.level=30"),
    ("c", be32(33, 5, 0) + b"disk\0zz", "extra_bytes", "name=disk cmask=0x00000000"),
    ("c", be32(33, 5, 0) + b"n" * 32 + b"\0", "name_too_long", "name=" + "n" * 32),
    ("t", be32(17) + UUID + b"wsdemo", "missing_nul", "appname=wsdemo"),
    ("t", be32(48) + LONE_UUID + be32(70, 1, 0xFFFFFFFE) + b"\0", "truncated", "seq=70 int1=1 int2=-2"),
    ("t", be32(65) + UUID + be32(9, 0xA0000000) + b"net\0" + be32(3, 31, 29) + b"Error\0Warning\0",
     "count_mismatch", "count=3 level=31|29 text=Error|Warning"),
    ("t", record(5), "", "seq=5"),
    # Frame 11 jumps over 6 to 8; 7 and 6 come later, 8 never does.
    ("t", record(9), "seq_gap", ("expected_seq=6 gap=3", "expected_seq=6 gap=1")),
    ("t", record(7), "seq_out_of_order", "seq=7 jump_frame=11"),
    ("t", record(9), "seq_back", "seq=9"),
    ("t", record(0xFFFFFFFF, OTHER_UUID), "", "seq=4294967295"),
    ("t", record(0, OTHER_UUID), "", "seq=0 gap="),
    # Decoded, but a copy of one already seen: counted, it would be a repeat.
    ("icmp", record(0, OTHER_UUID), "", "seq=0"),
    ("t", record(1, OTHER_UUID), "", "seq=1"),
    ("t", record(10), "", "seq=10 gap="),
    ("t", record(6), "seq_out_of_order", "seq=6 jump_frame=11"),
    # Frame 21 jumps over 2 and 3, which both come later: lost for all the first pass knows.
    ("t", record(1, FILLED_UUID), "", "seq=1"),
    ("t", record(4, FILLED_UUID), ("seq_gap", "seq_gap_filled"), ("gap=2", "gap=")),
    ("t", record(3, FILLED_UUID), "seq_out_of_order", "jump_frame=21"),
    ("t", record(2, FILLED_UUID), "seq_out_of_order", "jump_frame=21"),
    # The capture ends right after a jump: it is flagged all the same.
    ("t", record(2, ENDING_UUID), "", "seq=2"),
    ("t", record(5, ENDING_UUID), "seq_gap", "expected_seq=3 gap=2"),
]


def per_pass(value, two_pass):
    return value[two_pass] if isinstance(value, tuple) else value


class MalformedDatagrams(unittest.TestCase):
    def test_flagged_and_decoded_up_to_the_fault(self):
        pcap = os.path.join(ARGS.workdir, "wireshark_malformed.pcap")
        with open(pcap, "wb") as out:
            out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))  # raw IPv4
            at = 1700000000 * 1000  # ms
            for by, payload, _, _ in MALFORMED:
                at += 10
                packet = (udp(40000, 57008, payload) if by == "c" else udp(57008, 40000, payload)
                          if by == "t" else ipv4(1, be32(0x03030000, 0) + udp(57008, 40000, payload)))
                out.write(struct.pack("<IIII", at // 1000, at % 1000 * 1000, len(packet), len(packet)) + packet)
        for two_pass in (False, True):
            frames = tshark(pcap, two_pass)
            self.assertEqual(len(frames), len(MALFORMED))
            for n, (frame, (_, _, experts, want)) in enumerate(zip(frames, MALFORMED)):
                with self.subTest(two_pass=two_pass, row=n):
                    want = fields(per_pass(want, two_pass))
                    self.assertEqual(frame["experts"], set(per_pass(experts, two_pass).split()))
                    self.assertEqual({f: frame[f] for f in want}, want)
                    self.assertEqual(frame["faults"], "")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("suite", choices=["live", "malformed"])
    parser.add_argument("--dissector", required=True)
    parser.add_argument("--driver")
    parser.add_argument("--workdir", default=".")
    ARGS, rest = parser.parse_known_args()
    missing = [t for t in ["tshark"] + ["dumpcap"] * (ARGS.suite == "live") if not shutil.which(t)]
    if missing:
        print("skipped: %s not installed" % " and ".join(missing))
        return 77
    if ARGS.suite == "live" and not ARGS.driver:
        parser.error("live needs --driver")
    suite = LiveTraffic if ARGS.suite == "live" else MalformedDatagrams
    program = unittest.main(argv=[sys.argv[0]] + rest, defaultTest=suite.__name__, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
