#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: valid answers of each section, whole polling
rounds, frames as they come off the line, settings, control requests, records and record caches,
each behind the option and script bytes that the targets read first (see the targets' sources).
Files named finding-* are inputs of past findings, kept as regression tests; they are not
written here and are left alone."""
import json
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


# fuzz_process_payload script steps (see step() there).
def pp_answer(info, lenid=None):
    return bytes([0]) + struct.pack('<H', 2 * len(info) if lenid is None else lenid) + info


PP_TICK, PP_RESET = bytes([5]), bytes([6])


def pp_clock(seconds):
    return bytes([4, seconds])


# A first round (data not yet valid: every command) and a short second round.
FULL_ROUND = [bytes([0x11]) + AC_TWO_LINES, bytes([0x01]) + AC_SWITCH, bytes([0x00]) + AC_ALARM,
              RC_ANALOG, RC_STATE, RC_ALARM, bytes([0x11, 2]) + DC_PANEL + DC_PANEL,
              bytes([0x00, 2]) + DC_ALARM + DC_ALARM]
SHORT_ROUND = [bytes([0x00]) + AC_TWO_LINES, RC_ANALOG, RC_STATE, bytes([0x00, 1]) + DC_PANEL]


def pp_rounds():
    full = PP_TICK + b''.join(pp_answer(i) for i in FULL_ROUND)
    short = PP_TICK + b''.join(pp_answer(i) for i in SHORT_ROUND)
    yield 'round_mode1', opts(flags=0x03, more=0x40) + bytes([0]) + full + pp_clock(3) + short
    yield 'round_mode2', opts(flags=0x03, more=0x80) + bytes([0]) + full + pp_clock(3) + short
    # The line goes silent after a round: Reset raises the communication alarm, a lookup is stale.
    yield 'silent_line', (opts(flags=0x03, more=0x80) + bytes([0]) + full + pp_clock(200) +
                          PP_RESET + bytes([0x87, 0]) + PP_TICK + pp_answer(SHORT_ROUND[0]))
    yield 'clock_jumps', (opts(flags=0x03, more=0x40) + bytes([0]) + full + bytes([0xC4]) +
                          short + bytes([0x84]) + PP_RESET + short)


# Frames on the line, as the host's encoder writes them.
def lchksum(lenid):
    return (~(lenid & 0xF) - ((lenid >> 4) & 0xF) - ((lenid >> 8) & 0xF) + 1) & 0xF


def frame(ver, adr, cid1, cid2, info=b''):
    lenid = 2 * len(info)
    body = b'%02X%02X%02X%02X%04X' % (ver, adr, cid1, cid2, lchksum(lenid) << 12 | lenid)
    body += info.hex().upper().encode()
    chk = (~sum(body) + 1) & 0xFFFF
    return b'~' + body + b'%04X' % chk + b'\r'


def answer_stream(rounds):
    groups = [0x40, 0x40, 0x40, 0x41, 0x41, 0x41, 0x42, 0x42]
    return b''.join(frame(0x20, 1, groups[i], 0, info) for i, info in enumerate(rounds))


PUBLIC_FRAMES = [
    b'~20004642E00200FD37\r',
    b'~2000460010960001100CD70CE90CF40CD60CEF0CE50CE10CDC0CE90CF00CE80CEF0CEA0CDA0CDE0CD806'
    b'0BA60BA00B970BA60BA50BA2FD5C14A0344E0A426803134650004603E8149F0000000000000000DC6C\r',
    b'~20024600D05E1002080D020D020D020D030D000D010D010D03050B7D0B690B690B690B73FFFA680EFFFF'
    b'04FFFF00000174E401B198E906\r',
    b'~25004600E00201FD37\r',
    b'~20004642F00100FD37\r',
]


def parser_seeds():
    command = frame(0x20, 1, 0x40, 0x41, b'\x01')
    yield 'round', bytes([1, 1, 7]) + answer_stream(FULL_ROUND)
    yield 'echo_then_answer', (bytes([3, 1, 0x20, 1, 0x40, 0x41, 1, 1, 9]) + command +
                               frame(0x20, 1, 0x40, 0, AC_TWO_LINES))
    yield 'public_frames', bytes([0, 5]) + b''.join(PUBLIC_FRAMES)
    yield 'noise_cut_off', (bytes([1, 1, 11]) + b'\x00\xff\x55' + frame(0x20, 1, 0x41, 0)[:9] +
                            frame(0x20, 1, 0x41, 0, RC_ANALOG) + b'zz\r')
    yield 'small_bound', bytes([5, 1, 8, 0, 3]) + answer_stream(FULL_ROUND[:4])


# fuzz_protocol script steps (see step() there); 0x80 reads the line after the step.
def proto_answer(info, how=0):
    return bytes([0x80, how]) + struct.pack('<H', len(info)) + info


PROTO_TICK, PROTO_TIMEOUT, PROTO_ECHO = bytes([0x85]), bytes([0x86]), bytes([0x84])


def protocol_seeds():
    full = PROTO_TICK + b''.join(proto_answer(i) for i in FULL_ROUND)
    short = PROTO_TICK + b''.join(proto_answer(i) for i in SHORT_ROUND)
    yield 'rounds', opts(flags=0x03, more=0x80) + full + short
    yield 'echo_then_answers', (opts(flags=0x03) + PROTO_TICK + PROTO_ECHO +
                                b''.join(PROTO_ECHO + proto_answer(i) for i in FULL_ROUND))
    yield 'timeout_then_late_answer', (opts(flags=0x03) + PROTO_TICK + PROTO_TIMEOUT + PROTO_TICK +
                                       proto_answer(FULL_ROUND[0]) + proto_answer(RC_ANALOG, 2) +
                                       bytes([0x41]) + proto_answer(FULL_ROUND[1]))
    yield 'line_lost', (opts(flags=0x03) + PROTO_TICK + bytes([0x87, 0x88]) + full)
    yield 'rtn_and_noise', (opts(flags=0x03) + PROTO_TICK + proto_answer(b'', 4) + bytes([4]) +
                            bytes([0x83, 5]) + b'\x00~20\r' + full)


# Records, record caches and the record's fields as klx-record reads them.
def record_bytes():
    r = bytearray(587)
    struct.pack_into('<I', r, 0, 7)
    struct.pack_into('<fff', r, 8, 1.0, 1.5, -0.1)
    r[20], r[21], r[22], r[23] = 2, 2, 0, 1
    for i, base in enumerate((41, 63)):
        struct.pack_into('<ffff', r, base, 230.0 + i, 229.5, 231.25, 50.0)
    struct.pack_into('<f', r, 85, 53.5)
    r[89] = 6
    for m in range(6):
        struct.pack_into('<f', r, 90 + 11 * m, 10.5 + m)
        r[95 + 11 * m] = m % 2
    for base in (530, 562):
        struct.pack_into('<ff', r, base + 4, 53.5, 60.25)
        r[base + 16] = 2
    r[555:562] = bytes([0x07, 0xE8, 3, 14, 12, 30, 5])
    return bytes(r)


def record_fields_json():
    def dc(v):
        return {'voltage': v, 'current': 60.25, 'm_count': 0, 'n_count': 0, 'p_count': 0,
                'alarm': 0, 'alert_m_count': 2, 'alert_p_count': 0}
    line = {'a': 230.0, 'b': 229.5, 'c': 231.25, 'f': 50.0, 'p40_41_count': 0, 'a_alarm': 0,
            'b_alarm': 0, 'c_alarm': 0, 'f_alarm': 0, 'p40_44_count': 0}
    module = {'current': 10.5, 'p41_41_count': 0, 'status': [0, 0, 0], 'p41_43_count': 0,
              'alarm': 0, 'p41_44_count': 0}
    fields = {
        'data_id': 7,
        'ac': {'ac_a': 1.0, 'ac_b': 1.5, 'ac_c': 'invalid', 'channel_count': 2,
               'airlock_count': 2, 'airlock': [0, 1, 0, 0, 0, 0, 0, 0], 'p40_43_count': 0,
               'ac_a_alarm': 0, 'ac_b_alarm': 0, 'ac_c_alarm': 0},
        'acChannel': [line, dict(line, a='nan')],
        'rc_voltage': 53.5, 'rc_channel_count': 6, 'rcChannel': [module] * 40,
        'dc': dc(53.5), 'update_time': '2024-03-14 12:30:05', 'dc_2': dc('-inf'),
    }
    return json.dumps(fields, indent=1).encode()


def record_seeds():
    rec = record_bytes()
    cache = {'format': 'klx-record-cache', 'version': 1,
             'records': [{'data_id': 7, 'record': rec.hex(), 'sp_id': 5535}]}
    two = dict(cache, records=cache['records'] + [{'data_id': 8, 'record': rec.hex(),
                                                   'sp_id': 5535}])
    yield 'raw_record', bytes([0]) + rec
    yield 'cache', bytes([0]) + json.dumps(cache).encode()
    yield 'cache_two_devices', bytes([0x80, 8]) + json.dumps(two).encode()
    yield 'hex', bytes([1]) + ' '.join(rec[i:i + 16].hex() for i in range(0, 587, 16)).encode()
    yield 'fields', bytes([2]) + record_fields_json()


# klx-scan's conversation with one address, as fuzz_scan reads it: the address, then per command
# a kind byte (bits 0-1: 0 answer, 1 no answer, 2 damaged, 3 line lost; bit 2: a VER byte
# follows, bit 3: an RTN byte follows) and, for an answer, a length byte and the info bytes.
# The commands come in the prober's order: 41/4F, 40/4F, 42/4F, 41/50, 41/51, 41/41, 40/41, 42/41.
def scan_answer(info=b'', ver=None, rtn=None):
    kind = (4 if ver is not None else 0) | (8 if rtn is not None else 0)
    out = bytes([kind])
    if ver is not None:
        out += bytes([ver])
    if rtn is not None:
        out += bytes([rtn])
    return out + bytes([len(info)]) + info


def maker_info(name, version, maker):
    return name.ljust(10, b' ') + bytes(version) + maker.ljust(20, b' ')


def scan_seeds():
    rect = b'\x00' + f32(53.5) + bytes([6]) + f32(10.0) * 6
    ac = b'\x00' + bytes([2]) + f32(230.1) * 3
    dc_count = b'\x00' + bytes([1]) + f32(53.5) + f32(58.9)
    dc_voltage = b'\x00' + f32(54.0) + f32(60.0)
    sample = maker_info(b'PS48-600', [3, 12], b'Sample Power')
    gb = maker_info('直流屏'.encode('gb18030'), [2, 0], '科凡电源'.encode('gb18030'))
    ok = scan_answer()
    yield 'full', bytes([1]) + ok * 4 + scan_answer(sample) + scan_answer(rect) + \
        scan_answer(ac) + scan_answer(dc_count)
    # The DC command with its data byte refused (RTN 05), answered without it.
    yield 'no_42_arg', bytes([2]) + ok * 4 + scan_answer(sample) + scan_answer(rect) + \
        scan_answer(ac) + scan_answer(rtn=5) + scan_answer(dc_voltage)
    # No AC group, GB18030 names.
    yield 'gb18030', bytes([3]) + ok + scan_answer(rtn=4) + ok * 2 + scan_answer(gb) + \
        scan_answer(rect) + scan_answer(dc_count)
    yield 'other_version', bytes([6]) + scan_answer(ver=0x21) + ok * 4 + scan_answer(sample) + \
        scan_answer(rect) + scan_answer(ac) + scan_answer(dc_count)
    yield 'garbled', bytes([8, 2, 2])
    yield 'silent', bytes([4, 1, 1])
    # Noise on the line: a damaged answer, then the same command answered.
    yield 'retried', bytes([5]) + ok + bytes([1]) + ok + ok + bytes([2]) + ok + ok + \
        scan_answer(sample) + bytes([1]) + scan_answer(rect) + scan_answer(ac) + scan_answer(dc_count)


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
        write('fuzz_process_payload', 'answer%d' % i, opts() + bytes([state]) + pp_answer(info))
    for name, data in pp_rounds():
        write('fuzz_process_payload', name, data)
    for name, data in parser_seeds():
        write('fuzz_frame_parser', name, data)
    for name, data in protocol_seeds():
        write('fuzz_protocol', name, data)
    for name, data in record_seeds():
        write('fuzz_record', name, data)
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
    for name, data in scan_seeds():
        write('fuzz_scan', name, data)


if __name__ == '__main__':
    main()
