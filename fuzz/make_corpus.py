#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: valid answers of each section, settings and
control requests, each behind the option bytes that the targets read first (see fuzz_support.h)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(v):
    return struct.pack('<f', v)


def opts(flags=0x43, more=0x40, adjust=1, rc=2, ac=2):
    return bytes([flags, more, adjust & 0xFF, rc, ac])


AC_ONE_LINE = bytes([1]) + f32(220) * 3 + f32(50) + bytes([0]) + f32(10) * 3
AC_TWO_LINES = bytes([2]) + (f32(230) * 3 + f32(50) + bytes([0])) * 2 + f32(1) * 3
AC_SWITCH = bytes([8]) + bytes(range(8)) + bytes([0])
AC_ALARM = bytes([2]) + (bytes([0, 0, 0, 0]) + bytes([0]) + bytes([0])) * 2 + bytes([0, 0, 0])
RC_ANALOG = bytes([0]) + f32(53.5) + bytes([2]) + (f32(12.5) + bytes([0])) * 2
RC_STATE = bytes([0, 2]) + (bytes([0, 1, 0]) + bytes([0])) * 2
RC_ALARM = bytes([0, 2]) + (bytes([0]) + bytes([0])) * 2
DC_PANEL = f32(53.5) + f32(12.5) + bytes([0, 0, 0])
DC_ALARM = bytes([0, 0, 0])

DECODERS = [AC_ONE_LINE, AC_SWITCH, AC_ALARM, RC_ANALOG, RC_STATE, RC_ALARM,
            DC_PANEL, DC_PANEL, DC_ALARM, DC_ALARM]

# (poll state index into fuzz_process_payload's table, info bytes)
ANSWERS = [
    (1, bytes([0x11]) + AC_TWO_LINES),
    (2, bytes([0x01]) + AC_SWITCH),
    (3, bytes([0x00]) + AC_ALARM),
    (4, RC_ANALOG),
    (5, RC_STATE),
    (6, RC_ALARM),
    (7, bytes([0x11, 2]) + DC_PANEL + DC_PANEL),
    (7, bytes([0x00]) + DC_PANEL),
    (8, bytes([0x00, 2]) + DC_ALARM + DC_ALARM),
    (0, bytes([0x00])),
]

SETTINGS = [
    b'{}',
    b'{"appSetting":{"has_ac":"1","has_dc":1,"no_dc_number":"-1","b_mode":"2"}}',
    b'{"appSetting":{"b_mode":3},"thresholdSetting":{"k1":{"NMAlarmID":"401","ID":"17",'
    b'"SignalNumber":"1"},"k0":{"ID":"17"}}}',
    b'{"appSetting":{"has_tower":true,"skip_41_41":"2","dc_i_adjust":-1,"ac_line":3}}',
]

IOCTLS = [
    bytes([0, 0, 8]) + bytes([0x07, 0xEA, 12, 8, 13, 50, 0]),
    bytes([1, 0, 0]) + b'{"signal_id":"4196A3101001","SetValue":"53.5"}',
    bytes([1, 1, 0]) + b'{"signal_id":"4196A3201001","SetValue":0.29}',
    bytes([2, 0, 4]) + b'419500201003',
    bytes([2, 2, 4]) + b'419500601001',
    bytes([200, 0x2C, 0x05, 0, 4]),
]


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def main():
    for i, payload in enumerate(DECODERS):
        write('fuzz_decoders', 'decoder%d' % i, opts() + bytes([i]) + payload)
        write('fuzz_decoders', 'decoder%d_tower' % i, opts(flags=0x47) + bytes([i]) + payload)
    for i, (state, info) in enumerate(ANSWERS):
        write('fuzz_process_payload', 'answer%d' % i,
              opts() + bytes([state]) + struct.pack('<H', 2 * len(info)) + info)
    for i, text in enumerate(SETTINGS):
        write('fuzz_init_setting', 'settings%d.json' % i, text)
    for i, req in enumerate(IOCTLS):
        write('fuzz_device_ioctl', 'request%d' % i, req)
    record = bytearray(587)
    record[0:4] = struct.pack('<I', 7)
    record[89] = 3
    record[530 + 4:530 + 8] = f32(53.5)
    write('fuzz_load_from_cache', 'record', opts() + bytes([1]) + bytes(record))
    write('fuzz_load_from_cache', 'short', opts() + bytes([1]) + bytes(586))


if __name__ == '__main__':
    main()
