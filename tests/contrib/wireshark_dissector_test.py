#!/usr/bin/env python3
# tests/contrib/wireshark_dissector_test.py
#
# Checks contrib/wireshark/tarvinremote.lua through tshark, in two suites:
#
#   live       captures lo (dumpcap) while wireshark_traffic runs a real target
#              and a client through every request and reply, then checks
#              every decoded field of every datagram against the scenario,
#              and the sequence-gap warning in one pass and in two (-2).
#   malformed  writes a pcap of datagrams that break their layout, each kind
#              in its own ways, and checks which expert items each raises,
#              that the fields before the fault still decode, and that the
#              dissector never throws.
#
# Standard library only. Exits 77 (skipped) without tshark, or for `live`
# without dumpcap. `live` must run in a network namespace of its own: the
# target binds 57008, and a capture on a shared lo would see other tests.
import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

SKIP = 77
TARGET_PORT = 57008
CLIENT_PORT = 40000  # crafted captures only

ARGS = None  # the parsed command line, for the suites

# Every field the dissector can fill: a datagram must show its own and no
# other (a wrong kind's field is as much a fault as a wrong value).
FIELDS = [
    "tarvinremote.fd", "tarvinremote.uuid", "tarvinremote.reqid", "tarvinremote.cmask",
    "tarvinremote.cmask.level", "tarvinremote.name", "tarvinremote.appname",
    "tarvinremote.count", "tarvinremote.level", "tarvinremote.text", "tarvinremote.seq",
    "tarvinremote.int1", "tarvinremote.int2", "tarvinremote.int3", "tarvinremote.int4",
    "tarvinremote.str1", "tarvinremote.str2", "tarvinremote.str3", "tarvinremote.str4",
    "tarvinremote.gap", "tarvinremote.expected_seq", "tarvinremote.prev_frame",
    "tarvinremote.extra",
]
EXPERTS = ["truncated", "missing_nul", "count_mismatch", "extra_bytes", "ignored_bytes",
           "unknown_fd", "name_too_long", "seq_gap", "seq_back"]
EXPERT_FIELDS = ["tarvinremote.expert." + e for e in EXPERTS]
# Anything here means the dissector threw instead of flagging.
FAULT_FIELDS = ["_ws.lua.error", "_ws.malformed.expert", "_ws.malformed.dissector_bug"]
AGGREGATOR = "|"
ANY = object()  # a field whose value the scenario cannot know, but must be there


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def cstr(text):
    return text.encode() + b"\0"


def run_tshark(pcap, two_pass=False, display_filter="tarvinremote"):
    """Dissects pcap; returns one dict per frame of the protocol, in order."""
    columns = ["frame.number"] + FIELDS + EXPERT_FIELDS + FAULT_FIELDS
    command = ["tshark", "-n", "-r", pcap, "-X", "lua_script:" + ARGS.dissector,
               "-Y", display_filter, "-T", "fields", "-E", "occurrence=a",
               "-E", "aggregator=" + AGGREGATOR]
    if two_pass:
        command.append("-2")
    for column in columns:
        command += ["-e", column]
    result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    if result.returncode != 0 or "Lua" in result.stderr:
        raise AssertionError("tshark failed (%d): %s" % (result.returncode, result.stderr))
    frames = []
    for line in result.stdout.splitlines():
        values = line.split("\t")
        frames.append(dict(zip(columns, values)))
    return frames


def tshark_summary(pcap):
    """The one-line-per-frame output, where thrown exceptions show up."""
    result = subprocess.run(["tshark", "-n", "-r", pcap, "-X", "lua_script:" + ARGS.dissector],
                            capture_output=True, text=True, timeout=30)
    return result.stdout + result.stderr


def experts_of(frame):
    return {e for e, field in zip(EXPERTS, EXPERT_FIELDS) if frame[field]}


def ipv4(protocol, payload, ident=0):
    """An IPv4 packet from 127.0.0.1 to 127.0.0.1 with a valid checksum."""
    header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident, 0, 64, protocol,
                         0, socket.inet_aton("127.0.0.1"), socket.inet_aton("127.0.0.1"))
    total = sum(struct.unpack(">10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return header[:10] + struct.pack(">H", ~total & 0xFFFF) + header[12:] + payload


def udp(sport, dport, payload, ident=0):
    return ipv4(17, struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload, ident)


def icmp_port_unreachable(quoted):
    """The error a host sends back for a datagram to a closed port; it quotes
    the datagram whole, as Linux does for short ones. Checksum left 0."""
    return ipv4(1, struct.pack(">BBHI", 3, 3, 0, 0) + quoted)


def write_pcap(path, packets):
    """Classic pcap, raw IPv4. A packet is bytes, or (source port,
    destination port, payload) for one UDP datagram."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for number, packet in enumerate(packets):
            if isinstance(packet, tuple):
                packet = udp(*packet, ident=number)
            out.write(struct.pack("<IIII", 1700000000 + number, 0, len(packet), len(packet)))
            out.write(packet)


def udp_payloads(pcap_bytes, port):
    """(source port, destination port, payload) of each Ethernet/IPv4/UDP
    frame to or from port, in capture order."""
    magic, = struct.unpack("<I", pcap_bytes[:4])
    if magic != 0xA1B2C3D4:
        raise AssertionError("dumpcap wrote no classic little-endian pcap")
    linktype, = struct.unpack("<I", pcap_bytes[20:24])
    if linktype != 1:
        raise AssertionError("capture on lo has link type %d, not Ethernet" % linktype)
    found = []
    at = 24
    while at + 16 <= len(pcap_bytes):
        caplen, = struct.unpack("<I", pcap_bytes[at + 8:at + 12])
        frame = pcap_bytes[at + 16:at + 16 + caplen]
        at += 16 + caplen
        if len(frame) < 34 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            continue
        udp = 14 + (frame[14] & 0x0F) * 4
        sport, dport, length = struct.unpack(">HHH", frame[udp:udp + 6])
        if port in (sport, dport):
            found.append((sport, dport, frame[udp + 8:udp + length]))
    return found


class LiveCapture:
    """dumpcap on lo, writing pcap into a pipe that a thread drains. Start and
    end are awaited with marker datagrams to the discard port, so nothing the
    driver exchanges can fall outside the capture."""

    MARKER_PORT = 9

    def __init__(self):
        self.data = bytearray()
        self.lock = threading.Lock()
        self.process = subprocess.Popen(
            ["dumpcap", "-q", "-i", "lo", "-P", "-f", "udp", "-w", "-"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def _drain(self):
        while True:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def await_marker(self, marker, timeout=10.0):
        # dumpcap gives no sign that it is capturing, so a marker is sent again
        # until one shows up in the pcap stream.
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.sendto(marker, ("127.0.0.1", self.MARKER_PORT))
            wait_until = time.monotonic() + 0.05
            while time.monotonic() < wait_until:
                with self.lock:
                    if marker in self.data:
                        return
                time.sleep(0.005)
            if self.process.poll() is not None:
                break
        raise AssertionError("dumpcap captured no %r: %s" % (
            marker, self.process.stderr.read().decode(errors="replace")))

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.reader.join(timeout=10)
        self.sock.close()
        with self.lock:
            return bytes(self.data)


class LiveTraffic(unittest.TestCase):
    """A real target and client over loopback, captured and dissected."""

    @classmethod
    def setUpClass(cls):
        capture = LiveCapture()
        try:
            capture.await_marker(b"capture start")
            driver = subprocess.run([ARGS.driver], capture_output=True, text=True, timeout=30)
            capture.await_marker(b"capture end")
        finally:
            data = capture.stop()
        if driver.returncode != 0:
            raise AssertionError("wireshark_traffic failed: " + driver.stderr)
        cls.pcap = os.path.join(ARGS.workdir, "wireshark_live.pcap")
        with open(cls.pcap, "wb") as out:
            out.write(data)
        cls.captured = udp_payloads(data, TARGET_PORT)
        cls.exchanged = []
        cls.facts = {}
        for line in driver.stdout.splitlines():
            key, _, value = line.partition(" ")
            if key in ("sent", "recv"):
                cls.exchanged.append((key, bytes.fromhex(value)))
            else:
                cls.facts[key] = value
        cls.frames = run_tshark(cls.pcap)

    def test_capture_holds_every_datagram_exchanged(self):
        # Without this, a datagram lost by the capture would pass for a gap.
        self.assertEqual([(("sent" if dport == TARGET_PORT else "recv"), payload)
                          for sport, dport, payload in self.captured], self.exchanged)

    def expected_frames(self):
        uuid = self.exchanged[1][1][4:20].hex()
        facts = self.facts

        def app(fd):
            return {"fd": fd, "uuid": uuid, "appname": "wsdemo"}

        def info(reqid, cmask, levels, name):
            return {"fd": 34, "uuid": uuid, "reqid": reqid, "cmask": cmask,
                    "cmask.level": levels, "name": name}

        net_unsolicited = info("0xffffffff", "0x70000000", "30|29|28", "net")
        register = [{"fd": 16}, app(17), net_unsolicited,
                    info("0xffffffff", "0x40000000", "30", "disk")]
        unregister = [{"fd": 19}, {"fd": 1}, app(2)]
        return ([{"fd": 1}, app(2)] + register + [
            {"fd": 48, "uuid": uuid, "seq": 0, "int1": -1, "int2": 2147483647,
             "int3": -2147483648, "int4": 42, "cmask": "0x20000000", "cmask.level": "29",
             "str1": "net", "str2": "a.cpp", "str3": "first()", "str4": "first record"},
            {"fd": 48, "uuid": uuid, "seq": 1, "int1": facts["pid"], "int2": facts["tid"],
             "int3": ANY, "int4": facts["line"], "cmask": "0x10000000", "cmask.level": "28",
             "str1": "net", "str2": facts["file"], "str3": facts["function"],
             "str4": "second record", "prev_frame": ("frame of", 6)},
            # Client levels 30 and 28 are numeric levels 4 and 7; the host
            # keeps 0-2 on, which the reply shows as client level 31.
            {"fd": 33, "reqid": "0x00000011", "cmask": "0x50000000", "cmask.level": "30|28",
             "name": "disk"},
            info("0x00000011", "0xd0000000", "31|30|28", "disk"),
            {"fd": 64, "reqid": "0x00000022", "name": "net"},
            {"fd": 65, "uuid": uuid, "reqid": "0x00000022", "cmask": "0x70000000",
             "cmask.level": "30|29|28", "name": "net", "count": 4, "level": "31|30|29|28",
             "text": "Fatal|Warning|Info|Debug"},
        ] + unregister + register[:3] + [
            info("0xffffffff", "0xd0000000", "31|30|28", "disk"),
            # Records 2 and 3 went out while the client was unregistered.
            {"fd": 48, "uuid": uuid, "seq": 4, "int1": 7, "int2": 8, "int3": 9, "int4": 10,
             "cmask": "0x00000010", "cmask.level": "4", "str1": "disk", "str2": "b.cpp",
             "str3": "third()", "str4": "after gap", "prev_frame": ("frame of", 7),
             "gap": 2, "expected_seq": 2, "experts": {"seq_gap"}},
            {"fd": 48, "uuid": uuid, "seq": 5, "int1": 0, "int2": 0, "int3": 0, "int4": 0,
             "cmask": "0x80000000", "cmask.level": "31", "str1": "", "str2": "", "str3": "",
             "str4": "", "prev_frame": ("frame of", 19)},
        ] + unregister)

    def check_frames(self, frames):
        expected = self.expected_frames()
        self.assertEqual(len(frames), len(expected), "one dissected frame per datagram")
        for index, (frame, want) in enumerate(zip(frames, expected)):
            with self.subTest(datagram=index, fd=want["fd"]):
                for field in FIELDS:
                    short = field[len("tarvinremote."):]
                    value = want.get(short, "")
                    if value is ANY:
                        self.assertNotEqual(frame[field], "", field)
                        continue
                    if isinstance(value, tuple):  # the number of an earlier frame
                        value = frames[value[1]]["frame.number"]
                    self.assertEqual(frame[field], str(value), field)
                self.assertEqual(experts_of(frame), want.get("experts", set()))
                for field in FAULT_FIELDS:
                    self.assertEqual(frame[field], "", field)

    def test_every_field_of_every_kind_decodes(self):
        self.check_frames(self.frames)

    def test_gap_stays_on_its_frame_in_two_passes(self):
        self.check_frames(run_tshark(self.pcap, two_pass=True))

    def test_gap_filter_finds_only_the_record_after_the_gap(self):
        # With -2 the filter runs on the second pass only, after every frame's
        # state is settled; without it, during the first.
        gap_frame = self.frames[19]["frame.number"]
        for two_pass in (False, True):
            with self.subTest(two_pass=two_pass):
                found = run_tshark(self.pcap, two_pass, "tarvinremote.expert.seq_gap")
                self.assertEqual([f["frame.number"] for f in found], [gap_frame])
                self.assertEqual(found[0]["tarvinremote.gap"], "2")

    def test_dropped_record_is_a_gap_on_the_next(self):
        # The same traffic without the record numbered 0: the record numbered
        # 1 is then the conversation's first and has nothing to compare with,
        # so the warning stays where it was. Without record 1 instead, the
        # gap after record 0 grows to three.
        for dropped, gap in ((6, "2"), (7, "3")):
            with self.subTest(dropped_record=dropped):
                kept = [c for i, c in enumerate(self.captured) if i != dropped]
                pcap = os.path.join(ARGS.workdir, "wireshark_live_dropped.pcap")
                write_pcap(pcap, kept)
                frames = run_tshark(pcap, two_pass=True)
                gaps = [(i, f["tarvinremote.gap"]) for i, f in enumerate(frames)
                        if "seq_gap" in experts_of(f)]
                self.assertEqual(gaps, [(18, gap)])


def record(seq, uuid, strings=("net", "f.c", "fn", "text")):
    return (be32(48) + uuid + be32(seq) + be32(1) + be32(2) + be32(3) + be32(4) +
            be32(0x20000000) + b"".join(cstr(s) for s in strings))


def descriptions(count, tail):
    return be32(65) + bytes(range(16)) + be32(9) + be32(0xA0000000) + cstr("net") + \
        be32(count) + tail


TWO_DESCRIPTIONS = be32(31) + be32(29) + cstr("Error") + cstr("Warning")
UUID = bytes(range(16))
OTHER_UUID = bytes(range(16, 32))


def lone_uuid(n):
    """A target of its own, so that a malformed record starts no sequence."""
    return bytes([0xA0 + n]) * 16

# (name, from the target? (or "icmp": quoted in an error back to it), payload,
#  expert items, fields that must still decode)
MALFORMED_CASES = [
    # Requests. The target reads nothing after the descriptor of DRQ, RRQ
    # and URQ, so their extra bytes are only a note.
    ("descriptor cut short", False, b"\x00\x00\x10", {"truncated"}, {}),
    ("unknown descriptor", False, be32(0x7FFF) + b"ab", {"unknown_fd"}, {"fd": "32767"}),
    ("DRQ with extra bytes", False, be32(1) + b"xyz", {"ignored_bytes"},
     {"fd": "1", "extra": "78797a"}),
    ("RRQ with extra bytes", False, be32(16) + b"\0", {"ignored_bytes"}, {"fd": "16"}),
    ("URQ with extra bytes", False, be32(19) + b"\0\0\0\0", {"ignored_bytes"}, {"fd": "19"}),
    ("SLV cut in the client mask", False, be32(33) + be32(5) + b"\x40\0", {"truncated"},
     {"reqid": "0x00000005"}),
    ("SLV without a name", False, be32(33) + be32(5) + be32(0x40000000), {"truncated"},
     {"reqid": "0x00000005", "cmask": "0x40000000", "cmask.level": "30"}),
    ("SLV name without NUL", False, be32(33) + be32(5) + be32(0x40000000) + b"disk",
     {"missing_nul"}, {"name": "disk"}),
    ("SLV with bytes after the name", False, be32(33) + be32(5) + be32(0) + b"disk\0zz",
     {"extra_bytes"}, {"name": "disk", "cmask": "0x00000000"}),
    ("SLV with a name the target ignores", False, be32(33) + be32(5) + be32(0) + cstr("n" * 32),
     {"name_too_long"}, {"name": "n" * 32}),
    ("GLVD cut in the request id", False, be32(64) + b"\0\0", {"truncated"}, {"fd": "64"}),
    ("GLVD name without NUL", False, be32(64) + be32(6) + b"net", {"missing_nul"},
     {"reqid": "0x00000006", "name": "net"}),
    # What the target sends.
    ("discovery response cut in the uuid", True, be32(2) + UUID[:10], {"truncated"},
     {"fd": "2"}),
    ("discovery response without an application name", True, be32(2) + UUID, {"truncated"},
     {"uuid": UUID.hex()}),
    ("registration confirm name without NUL", True, be32(17) + UUID + b"wsdemo",
     {"missing_nul"}, {"appname": "wsdemo"}),
    ("registration confirm with extra bytes", True, be32(17) + UUID + b"wsdemo\0X",
     {"extra_bytes"}, {"appname": "wsdemo"}),
    ("component info cut in the client mask", True, be32(34) + UUID + be32(0xFFFFFFFF) + b"\0",
     {"truncated"}, {"reqid": "0xffffffff"}),
    ("component info name without NUL", True, be32(34) + UUID + be32(1) + be32(0x10) + b"net",
     {"missing_nul"}, {"name": "net", "cmask.level": "4"}),
    ("log record cut in the third integer", True, be32(48) + lone_uuid(4) + be32(70) + be32(1) +
     be32(0xFFFFFFFE) + b"\0", {"truncated"}, {"seq": "70", "int1": "1", "int2": "-2"}),
    ("log record without its fourth string", True,
     record(80, lone_uuid(1))[:-len(cstr("text"))], {"truncated"}, {"seq": "80", "str3": "fn"}),
    ("log record last string without NUL", True, record(90, lone_uuid(2))[:-1], {"missing_nul"},
     {"seq": "90", "str4": "text"}),
    ("log record with extra bytes", True, record(100, lone_uuid(3)) + b"\xff", {"extra_bytes"},
     {"seq": "100", "str4": "text"}),
    ("level descriptions count too high", True, descriptions(3, TWO_DESCRIPTIONS),
     {"count_mismatch"}, {"count": "3", "level": "31|29", "text": "Error|Warning"}),
    ("level descriptions count too low", True, descriptions(1, TWO_DESCRIPTIONS),
     {"count_mismatch"}, {"count": "1", "level": "31|29", "text": "Error|Warning"}),
    ("level descriptions count zero", True, descriptions(0, TWO_DESCRIPTIONS),
     {"count_mismatch"}, {"count": "0", "level": "31|29"}),
    ("level descriptions cut before the count", True, descriptions(2, b"")[:-2],
     {"truncated"}, {"name": "net"}),
    ("level descriptions cut in the levels", True, descriptions(2, be32(31) + b"\0\0"),
     {"truncated"}, {"count": "2", "level": "31"}),
    ("level descriptions last text without NUL", True,
     descriptions(2, TWO_DESCRIPTIONS[:-1]), {"missing_nul"},
     {"level": "31|29", "text": "Error|Warning"}),
    ("level descriptions with extra bytes", True, descriptions(2, TWO_DESCRIPTIONS + b"zz"),
     {"extra_bytes"}, {"level": "31|29", "text": "Error|Warning"}),
    ("level descriptions of none", True, descriptions(0, b""), set(), {"count": "0"}),
    # Sequence numbers, per target towards one client.
    ("first record of a target", True, record(5, UUID), set(), {"seq": "5"}),
    ("record of another target", True, record(9, OTHER_UUID), set(), {"seq": "9"}),
    ("record after a gap", True, record(9, UUID), {"seq_gap"}, {"gap": "3"}),
    ("record repeated", True, record(9, UUID), {"seq_back"}, {"seq": "9"}),
    ("record after the wrap", True, record(0xFFFFFFFF, OTHER_UUID), {"seq_back"}, {}),
    ("record wrapping to zero", True, record(0, OTHER_UUID), set(), {"seq": "0"}),
    # A copy quoted in an ICMP error is decoded but is no record of its own:
    # counted, it would be a repeat, and the record after it would be one too.
    ("record quoted in an ICMP error", "icmp", record(0, OTHER_UUID), set(), {"seq": "0"}),
    ("record after the quoted one", True, record(1, OTHER_UUID), set(), {"seq": "1"}),
]


class MalformedDatagrams(unittest.TestCase):
    """Crafted datagrams that break their layout: flagged, decoded as far as
    they go, never thrown on."""

    @classmethod
    def setUpClass(cls):
        cls.pcap = os.path.join(ARGS.workdir, "wireshark_malformed.pcap")
        packets = []
        for _, from_target, payload, _, _ in MALFORMED_CASES:
            if from_target == "icmp":
                packets.append(icmp_port_unreachable(udp(TARGET_PORT, CLIENT_PORT, payload)))
            elif from_target:
                packets.append((TARGET_PORT, CLIENT_PORT, payload))
            else:
                packets.append((CLIENT_PORT, TARGET_PORT, payload))
        write_pcap(cls.pcap, packets)

    def check(self, frames):
        self.assertEqual(len(frames), len(MALFORMED_CASES))
        for frame, (name, _, _, experts, fields) in zip(frames, MALFORMED_CASES):
            with self.subTest(name):
                self.assertEqual(experts_of(frame), experts)
                for field, value in fields.items():
                    self.assertEqual(frame["tarvinremote." + field], value, field)
                for field in FAULT_FIELDS:
                    self.assertEqual(frame[field], "", field)

    def test_flagged_and_decoded_in_one_pass(self):
        self.check(run_tshark(self.pcap))

    def test_flagged_and_decoded_in_two_passes(self):
        self.check(run_tshark(self.pcap, two_pass=True))

    def test_no_dissector_exception(self):
        output = tshark_summary(self.pcap)
        self.assertNotIn("Lua Error", output)
        self.assertNotIn("Malformed Packet", output)
        self.assertNotIn("Dissector bug", output)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("suite", choices=["live", "malformed"])
    parser.add_argument("--dissector", required=True)
    parser.add_argument("--driver")
    parser.add_argument("--workdir", default=".")
    ARGS, rest = parser.parse_known_args()
    needed = ["tshark"] + (["dumpcap"] if ARGS.suite == "live" else [])
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        print("skipped: %s not installed" % " and ".join(missing))
        return SKIP
    if ARGS.suite == "live" and not ARGS.driver:
        parser.error("live needs --driver")
    suite = LiveTraffic if ARGS.suite == "live" else MalformedDatagrams
    program = unittest.main(argv=[sys.argv[0]] + rest, defaultTest=suite.__name__,
                            exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
