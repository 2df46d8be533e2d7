#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are built from real frames of the battery-monitoring module (a good cell-voltage reply,
the short replies of a round, the requests), real settings objects and real value names, laid out
the way each target reads its input (see the *_target.cpp files). Run it again after changing a
target's input layout; the files are checked in so that CI replays them without Python.
"""
import json
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def sum254(bs):
    return (sum(bs) % 256) % 254


def cell_frame(addr, readings):
    body = bytes([addr]) + b"".join(struct.pack(">H", r) for r in readings)
    return bytes([0xED]) + body + bytes([sum254(body)])


def short_reply(addr, raw):
    body = bytes([addr]) + struct.pack(">H", raw)
    return bytes([0xED]) + body + bytes([sum254(body)])


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- receive: kind, host address, peer group voltage / current, settings, then operations ---
def receive_head(kind, flags, extra=b""):
    # kind, host address 0x81, peer group voltage 12.5 and current 0, flags, adjust 0, t0 0,
    # t31 0, group_a 1.0, group_b 0
    return bytes([kind, 0x81, 0, 128, flags, 100, 100, 100, 0, 100]) + extra


def good_round_ops(base=1200, gv=2400, cur=250, temp=2530):
    ops = bytes([0])  # tick: A1 goes out
    ops += bytes([2, 0]) + struct.pack(">H", base) + bytes([0])  # cell frame, one piece
    ops += bytes([2]) + struct.pack(">H", gv) + bytes([0])
    ops += bytes([2]) + struct.pack(">H", cur) + bytes([0])
    ops += bytes([2]) + struct.pack(">H", temp) + bytes([0])
    return ops


def raw_chunk(chunk):
    return bytes([1, len(chunk)]) + chunk


for kind in (0, 1):
    name = "ondrell20" if kind else "battery32"
    write("receive", f"{name}_good_rounds", receive_head(kind, 0) + good_round_ops() * 3)
    # 6 V blocks, reversed cells, version 2, current sensor formula
    write("receive", f"{name}_six_volt_reversed",
          receive_head(kind, 0x04 | 0x02 | 0x10 | 0x20) + good_round_ops(base=6000) * 2)
    # peers: current from the peer, group voltage shares (one missing peer)
    write("receive", f"{name}_peers",
          receive_head(kind, 0x40 | 0x80, bytes([0, 1])) + good_round_ops() * 2)
    # the same round delivered as raw chunks, the cell frame split in two, noise before a reply
    frame = cell_frame(0x01, [1180 + i for i in range(32)])
    ops = bytes([0]) + raw_chunk(frame[:30]) + raw_chunk(frame[30:])
    ops += raw_chunk(b"\x00\x00" + short_reply(0x01, 2400))
    ops += raw_chunk(short_reply(0x01, 250)) + raw_chunk(short_reply(0x01, 2530))
    write("receive", f"{name}_raw_chunks", receive_head(kind, 0) + ops)
    # faults: split short reply, bad checksum, wrong address, overflow, silence with re-sends
    bad = bytearray(short_reply(0x01, 2400))
    bad[4] ^= 1
    ops = bytes([0]) + raw_chunk(frame) + raw_chunk(short_reply(0x01, 2400)[:3])
    ops += raw_chunk(short_reply(0x01, 2400)[3:])
    ops += bytes([0]) + raw_chunk(frame) + raw_chunk(bytes(bad))
    ops += bytes([0]) + raw_chunk(frame) + raw_chunk(short_reply(0x02, 2400))
    ops += bytes([0]) + raw_chunk(frame[:70] if len(frame) > 70 else frame) + raw_chunk(bytes(20))
    ops += bytes([4, 5, 0xED]) + bytes([0, 0, 0, 0, 0]) + bytes([3, 0, 67, 6, 1, 5, 0])
    write("receive", f"{name}_faults", receive_head(kind, 0) + ops + good_round_ops())

# --- settings: how byte, then JSON text ---
settings_seeds = {
    "full": ({"appSetting": {"battery_type": "12", "current_ratio": 0, "group_a": 1.5,
                             "group_b": "0.5", "battery_adjust": 0.01, "version": 2, "dir": 1,
                             "r_data_id": 5, "r_current_field": "group_current",
                             "save_interval": "10", "group_index": 2, "amount": 3,
                             "active_batteries": [1, 5, "5"], "battery_start": 20,
                             "group_voltage": ["5001", 5002, 5001], "t0": "0.1", "t31": -0.1,
                             "b_mode": "3"},
              "thresholdSetting": {"battery_0_value": {"SignalName": "cell 1", "NMAlarmID": 101,
                                                       "ID": "2", "SignalNumber": 3},
                                   "temperature": {"ID": None}, "group_voltage": [1, 2]}}, 0),
    "six_volt": ({"appSetting": {"battery_type": 6, "battery_adjust": "nan", "t0": "inf"}}, 16),
    "wrong_types": ({"appSetting": {"battery_type": [1], "version": True, "dir": None}}, 1),
    "app_only": ({"group_index": 1, "amount": 99999999, "save_interval": 99999999999,
                  "group_voltage": [-1, 4294967296, "abc"]}, 2 | 4 | 8),
    "threshold_string": ({"appSetting": {"b_mode": 3}, "thresholdSetting": "abc"}, 1),
}
for name, (value, how) in settings_seeds.items():
    write("settings", name, bytes([how]) + json.dumps(value).encode())
write("settings", "not_json", bytes([3]) + b"{\"battery_type\": ")

# --- value: kind byte, then the name ---
for i, name in enumerate(["battery_0_value", "battery_19_value", "battery_20_value",
                          "battery_31_value", "battery_007_value", "xbattery_3_valuey",
                          "battery_40_value battery_1_value", "Battery_3_value",
                          "battery_-1_value", "battery_99999999999_value", "group_voltage",
                          "group_current", "temperature", "Group_Voltage", ""]):
    write("value", f"name_{i:02d}_kind0", bytes([0]) + name.encode())
    write("value", f"name_{i:02d}_kind1", bytes([1]) + name.encode())

# --- cache: how byte, then the stored bytes ---
record = bytearray(152)
record[0:4] = struct.pack("<I", 31)
for i in range(32):
    record[4 + 4 * i:8 + 4 * i] = struct.pack("<f", 12.0 + i / 100)
record[132:136] = struct.pack("<f", 240.0)
record[136:140] = struct.pack("<f", -5.5)
record[141:145] = bytes([0, 0, 0xC8, 0x41])  # 25.0 at the odd offset
record[145:152] = bytes([0xEA, 0x07, 12, 8, 14, 30, 0])
for how in range(6):
    write("cache", f"record_{how}", bytes([how]) + bytes(record))
    write("cache", f"short_{how}", bytes([how]) + bytes(record[:151]))
    write("cache", f"long_{how}", bytes([how]) + bytes(record) + b"\x00")
nan_record = bytearray(record)
nan_record[132:136] = b"\x00\x00\xc0\x7f"
write("cache", "record_nan", bytes([0]) + bytes(nan_record))
print("corpus written to", os.path.join(HERE, "corpus"), file=sys.stderr)
