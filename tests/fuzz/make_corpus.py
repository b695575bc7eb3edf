#!/usr/bin/env python3
# tests/fuzz/make_corpus.py: writes the seed inputs of remote_target_fuzzer
# into tests/fuzz/corpus, one binary file per seed, in the input layout that
# remote_target_fuzzer.cpp describes (host set-up, then operations).
#
# Seeds are valid conversations (DRQ, RRQ, URQ, SLV, GLVD, log records), the
# malformed requests the parser must reject, and host set-ups whose replies
# would not fit one datagram; the fuzzer mutates from there. Run it again
# after changing the layout; the files are committed.
import os
import struct
import sys

DRQ, RRQ, URQ, SLV, GLVD = 1, 16, 19, 33, 64


def text(s):
    """A short text: its length, then its bytes."""
    b = s.encode()
    assert len(b) < 48
    return bytes([len(b)]) + b


def long_text(length, fill="x"):
    """A long text: kind 0xC0, 16-bit length, one fill byte."""
    return bytes([0xC0]) + struct.pack(">H", length) + fill.encode()


def host(app=text("example-host"), components=()):
    out = app + bytes([len(components)])
    for name, mask, levels in components:
        out += name + struct.pack(">I", mask) + bytes([len(levels)])
        for level, description in levels:
            out += struct.pack(">I", level) + description
    return out


def datagram(payload, client=0):
    return bytes([client << 2]) + struct.pack(">H", len(payload)) + payload


def log(level, *strings):
    return bytes([2]) + bytes([level]) + b"".join(strings)


def expire(client):
    return bytes([(client << 2) | 3])


def be32(v):
    return struct.pack(">I", v)


def slv(request_id, mask, name, nul=True):
    return be32(SLV) + be32(request_id) + be32(mask) + name.encode() + (b"\0" if nul else b"")


def glvd(request_id, name, nul=True):
    return be32(GLVD) + be32(request_id) + name.encode() + (b"\0" if nul else b"")


# The example host's set-up: three components, five levels each.
LEVELS = [(3, text("error")), (4, text("warning")), (5, text("info")), (7, text("debug")), (8, text("trace"))]
EXAMPLE = host(components=[(text(n), 0x38, LEVELS) for n in ("net", "db", "ui")])

SEEDS = {
    "drq": EXAMPLE + datagram(be32(DRQ)),
    "drq_trailing_bytes": EXAMPLE + datagram(be32(DRQ) + b"\xff" * 40),
    "rrq_renew_urq": EXAMPLE + datagram(be32(RRQ)) + datagram(be32(RRQ)) + datagram(be32(URQ)),
    "rrq_six_clients": EXAMPLE + b"".join(datagram(be32(RRQ), c) for c in range(6)),
    "rrq_log_expire": EXAMPLE + datagram(be32(RRQ), 1) + log(5, text("net"), text("f.cpp"), text("fn"), text("hello"))
    + expire(0) + log(5, text(""), text(""), text(""), text("")),
    "slv": EXAMPLE + datagram(slv(7, 0xF0000000, "net")),
    "slv_no_nul": EXAMPLE + datagram(slv(7, 0xFFFFFFFF, "dbx", nul=False)),
    "slv_name_31": EXAMPLE + datagram(slv(1, 0, "n" * 31)) + datagram(slv(2, 0, "n" * 32)),
    "glvd": EXAMPLE + datagram(glvd(0x01020304, "db")),
    "glvd_empty_name": EXAMPLE + datagram(glvd(9, "")),
    "glvd_unknown": EXAMPLE + datagram(glvd(9, "nope")),
    "malformed": EXAMPLE + datagram(b"") + datagram(b"\x00\x00\x00") + datagram(be32(SLV))
    + datagram(be32(GLVD)) + datagram(be32(SLV) + b"\0" * 8) + datagram(be32(2)) + datagram(be32(0xFFFFFFFF))
    + datagram(be32(48) + b"\0" * 44),
    "cut_to_2048": EXAMPLE + datagram(glvd(3, "ui") + b"z" * 3000),
    # Host strings that do not fit one datagram.
    "long_application_name": host(app=long_text(2028)) + datagram(be32(DRQ)) + datagram(be32(RRQ)),
    "application_name_2027": host(app=long_text(2027)) + datagram(be32(DRQ)),
    "long_component_name": host(components=[(long_text(2020), 0xFF, []), (text("ok"), 1, [])])
    + datagram(be32(RRQ)),
    "many_level_descriptions": host(components=[(text("big"), 0xFFFFFFFF,
                                                 [(n, long_text(300, chr(65 + n))) for n in range(11)])])
    + datagram(glvd(5, "big")),
    "level_descriptions_2048": host(components=[(text("edge"), 1, [(36, long_text(2048 - 33 - 4 - 4 - 1))])])
    + datagram(glvd(5, "edge")),
    "log_record_limits": EXAMPLE + datagram(be32(RRQ)) + log(5, long_text(1999), text(""), text(""), text(""))
    + log(5, long_text(2000), text(""), text(""), text("")),
}


def main():
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    print(f"wrote {len(SEEDS)} seeds to {directory}", file=sys.stderr)


if __name__ == "__main__":
    main()
