#!/usr/bin/env python3
"""Writes the seed corpora of fuzz_detectors, fuzz_control and
fuzz_control_frames from the example captures (run from the repository root:
fuzz/make_seeds.py). Seeds are named after what they hold; rerunning replaces
them and leaves the regress-* cases alone."""
import glob
import os
import re
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ETHERTYPE_IPV4, ETHERTYPE_IPV6, ETHERTYPE_VLAN = 0x0800, 0x86DD, 0x8100
MAX_SEED_BYTES = 6 * 1024


def ip_packets(path):
    """The IP packets of an Ethernet pcap (VLAN tags skipped)."""
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack_from("<I", data, 0)[0]
    order = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    at, packets = 24, []
    while at + 16 <= len(data):
        _, _, caplen, _ = struct.unpack_from(order + "IIII", data, at)
        frame = data[at + 16:at + 16 + caplen]
        at += 16 + caplen
        offset = 12
        ethertype = struct.unpack_from(">H", frame, offset)[0] if len(frame) >= 14 else 0
        while ethertype == ETHERTYPE_VLAN and len(frame) >= offset + 6:
            offset += 4
            ethertype = struct.unpack_from(">H", frame, offset)[0]
        if ethertype in (ETHERTYPE_IPV4, ETHERTYPE_IPV6):
            packets.append(frame[offset + 2:])
    return packets


def families():
    """Family index of each signature id, from the detector declarations and
    the fuzz target's family list."""
    declared = open(os.path.join(ROOT, "nips/detectors/detectors.h")).read()
    detector_of = {int(sid): name for name, sid in
                   re.findall(r"ULONG (Detect\w+)\(PacketView\* view\);\s*// (\d+)", declared)}
    source = open(os.path.join(ROOT, "fuzz/fuzz_detectors.cpp")).read()
    table = source[source.index("kFamilies[] = {"):source.index("kFamilyCount")]
    family_of = {}
    for index, (_, body) in enumerate(re.findall(r'\{"(\w+)",\s*\{([^}]*)\}\}', table)):
        for name in re.findall(r"Detect\w+", body):
            family_of[name] = index
    return {sid: family_of[name] for sid, name in detector_of.items() if name in family_of}


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def packet_records(packets, gap=0):
    out = b""
    for packet in packets:
        record = struct.pack("<HB", len(packet), gap) + packet
        if len(out) + len(record) > MAX_SEED_BYTES:
            break
        out += record
    return out


def control(code, payload=b"", output=0, shape=0):
    return bytes([code, shape]) + struct.pack("<HH", len(payload), output) + payload


def configuration(level=3):
    header = struct.pack("<IIQIIII", 0, 0, 0x1234, 1, 2, 3, 3)
    ids = sorted(families())
    policy = b"".join(struct.pack("<III", sid, level, 1) for sid in ids)
    handshake = struct.pack("<IIIII", 0x8BADF00D, 8, 0, 0, 11690)
    return (control(1, handshake, 20) + control(2, header) + control(3, policy) + control(4) +
            control(5, struct.pack("<I", 124), 0))


def frame(code, flags, payload, output):
    return struct.pack("<IIIIQQ", 0x5150494E, code, flags, 0, len(payload), output) + payload


def main():
    os.chdir(ROOT)
    family_of = families()
    captures = sorted(glob.glob("examples/*.pcap"))
    detectors = "fuzz/corpus/fuzz_detectors"
    controls = "fuzz/corpus/fuzz_control"
    frames = "fuzz/corpus/fuzz_control_frames"
    for directory in (detectors, controls, frames):
        for old in glob.glob(os.path.join(directory, "*")):
            if not os.path.basename(old).startswith("regress-"):
                os.remove(old)
    for path in captures:
        match = re.match(r"attack-(\d+)-", os.path.basename(path))
        if not match or int(match.group(1)) not in family_of:
            continue
        name = os.path.basename(path)[:-len(".pcap")]
        family = family_of[int(match.group(1))]
        write(detectors, name, bytes([family]) + packet_records(ip_packets(path)))
    # The benign capture once per family: what every family sees most.
    benign = ip_packets("examples/benign.pcap")
    for family in sorted(set(family_of.values())):
        write(detectors, "benign-%02d" % family, bytes([family]) + packet_records(benign, gap=1))

    # Control sequences: a configuration, an attack's packets, then evidence,
    # drains and the close, in a few orders.
    for path in captures[::6]:
        name = os.path.basename(path)[:-len(".pcap")]
        packets = b"".join(bytes([10]) + struct.pack("<H", len(p)) + p
                           for p in ip_packets(path)[:12])
        evidence = b"".join(control(8, struct.pack("<I", slot), 1024) for slot in (0, 1, 2))
        drain = control(6, struct.pack("<QQ", 0, 0x1000), 16)
        write(controls, name, configuration() + packets + evidence + drain + control(7) + drain)
        write(controls, name + "-unconfigured", packets + evidence + drain)
    write(controls, "codes-0-to-9", b"".join(control(code, b"\0" * 8, 8) for code in range(10)))

    # Control-socket streams: well-formed requests and the service's own.
    handshake = struct.pack("<IIIII", 0x8BADF00D, 8, 0, 0, 11690)
    write(frames, "handshake", frame(1, 0, handshake, 20))
    write(frames, "configure", frame(2, 0, struct.pack("<IIQIIII", 0, 0, 0, 1, 2, 3, 3), 0) +
          frame(3, 0, struct.pack("<III", 3700, 3, 1) * 4, 0) + frame(4, 0, b"", 0))
    write(frames, "drain-nowait", frame(6, 1, struct.pack("<QQ", 1, 4096), 16))
    write(frames, "drain-null", frame(6, 0, struct.pack("<QQ", 0, 4096), 16))
    write(frames, "evidence", frame(8, 0, struct.pack("<I", 1), 1024))
    write(frames, "stats", frame(0x100, 0, b"", 4096) + frame(0x100, 0, b"", 1))
    write(frames, "close-then-truncated", frame(7, 0, b"", 0) + frame(5, 0, b"\x7c", 0)[:40])
    write(frames, "bad-magic", b"NIPX" + frame(1, 0, b"", 0)[4:])


if __name__ == "__main__":
    main()
