#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the inputs the
unit tests use. Run it again after changing a seed here."""
import os
import re
import struct
import sys

root = os.path.dirname(os.path.abspath(__file__))
src = os.path.dirname(root)


# The client command codes by name, as the protocol header declares them.
CLIENT = {name: int(value, 16) for name, value in re.findall(
    r'std::uint32_t kClient(\w+) = (0x[0-9A-F]{8});',
    open(os.path.join(src, 'src/core/protocol.h')).read())}


def u32(n):
    return struct.pack('<I', n)


def golden():
    text = open(os.path.join(src, 'tests/settings/first_start_golden.h')).read()
    body = text[text.index('kFirstStartFile ='):].split(';')[0]
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', body)
    return ''.join(parts).encode().decode('unicode_escape').encode('latin-1')


def answer(*strings):
    out = u32(len(strings))
    for s in strings:
        b = s.encode('latin-1') + b'\0'
        out += u32(len(b)) + b
    return out


def block(text):
    return text.encode().ljust(32, b'\0')


def frame(payload):
    # An uncompressed frame: plain length, packed length 0, the bytes.
    return u32(len(payload)) + u32(0) + payload


guid = '0123456789abcdef0123456789abcdef'
seeds = {
    'settings_file': [golden(), b'game.serverName "Evening"\nmanager.welcomeMessage 0 "hi_there"\n'
                      b'game.serverMaxPlayers 64\nmanager.pause\n'],
    'user_access': [b'Admin,Secret,,4294967295,1\n', b'admin,Secret,' + guid.encode() +
                    b',4294967295,1\nviewer,look,,1,0\n', b'just,four,fields,1\n'],
    'ban_lists': [b'\x01"A",10.1.1.1,*,' + guid.encode() + b',"op",1,0,r\n\x00'
                  b'admin.addKeyToBanList ' + guid.encode() + b' Perm\n;admin.addKeyToBanList x Perm\n\x00'
                  b'[' + guid.encode() + b'] "10.1.1.1:0" "Bob" "reason"\n',
                  b'\x00"A",1.1.1.1,' + guid.encode() + b',*,"op",1,0,r\n'],
    'schedule_file': [b'978375600,start,daily,*,*,1\n978375600,stop,Mon,*,*,1\n',
                      b'2000,restart,weekdays,s.con,m.con,0\n'],
    'banned_words': [b'\x0bnoob\ndarn\n\x00Global Bob: you noob\nTeam Mike: hello\n'],
    'announcements': [b'A\r\n\nB\n' + b'x' * 100 + b'\n'],
    'map_archive': [b'\x00' * 64],
    'player_lines': [b'Id:3 - Mike is remote ip: 10.0.0.5:14567 hash:0123\n'
                     b'Id:12 - Big is remote ip: Guy is remote ip: 1.2.3.4:1\n'
                     b'Id:1 - Bot is an AI bot\n'],
    'chat_lines': [b'\x40Kick|kick\nBan|ban\nTK [k][kick] "Team killing"|kick,ban,3600\n'
                   b'Hello [hi] "welcome"|\nPb [pb] "pb_sv_kick %pbid 5 %NAME"|cmd,ban\n\x00'
                   b'Global Boss: !nextmap\nGlobal Boss: !k Guest\nGlobal Boss: !change wake\n'
                   b'Team Guest: darn it\nGlobal Boss: !pb 7\n'],
    'status_report': [b'\x01\x1b\\hostname\\x\\queryid\\7.1\x25\\numplayers\\12\\queryid\\7.2\\final\\',
                      b'\x00\x60\\hostport\\14567\\mapname\\wake\\gametype\\conquest\\player_0\\Bob'
                      b'\\numplayers\\1\\queryid\\1.1\\final\\',
                      # one datagram (backslashes doubled for the data provider) whose
                      # server and player names hold backslashes
                      b'\x01' + b'\\hostname\\My\\Server\\hostport\\14567\\numplayers\\1'
                      b'\\playername_0\\Evil\\x\\team_0\\1\\queryid\\1.1\\final\\'
                      .replace(b'\\', b'\\\\') + b'\\n'],
    'console_stream': [b'\x00' + b'K' * 10 + b'\x01' + answer('game.serverName', 'x') +
                       answer('Id:1 - Bob is remote ip: 10.0.0.1:14567 hash:' + guid) +
                       answer('ok') + answer('x', '#line', 'wrapped') + answer('##--Global Bob: hi'),
                       b'\x01' + b'K' * 10 + b'\x01' + answer('x') + answer('Id:1 - Bob is remote') +
                       answer('') + answer('x', '12: abcd' + guid + '(W) Bob')],
    'client_stream': [block('admin') + block('secret') + b'\x20' + u32(CLIENT['KeepAlive']) +
                      u32(CLIENT['SayToAll']) + u32(6) + b'hello\0' + u32(CLIENT['BanListUpload']) +
                      frame(b'"A",1.1.1.1,*,*,"op",1,0,r\n') + u32(CLIENT['ScheduleUpload']) + u32(0) +
                      u32(CLIENT['DisconnectClient']) + u32(2) + b'3\0',
                      block('viewer') + block('look') + b'\x20' + u32(CLIENT['VerifyBanLists']) + u32(CLIENT['KeepAlive'] + 1),
                      block('admin') + block('wrong')],
    'wire_ban_row': [b'"Bob",1.2.3.4,*,*,"op",5,0,\r\n"Eve",10.1.1.1,*,*,"op",0,50,aim, bot\n',
                     b'"' + b'a' * 1030 + b'",2.2.2.2,k,*,"op",1,0,r\n'],
    'wire_setting_line': [b'k 0 "Hi_there"\nk 1 "second"\nk 4 "' + b'x' * 70 + b'"\nk 2 ""\n',
                          b'k 4 "' + b'y' * 63 + b'"\nk 1 "z"\n'],
    'wire_schedule_line': [b'4294967295,start wait,sun,*,maps/a.con,1\r\n5,stop,daily,*,*,0\n',
                           b'5,stop,daily,' + b'p' * 1010 + b',*,1\n7,STOP,d,*,*,7\0,junk\n',
                           # 1,024 bytes with the line feed: the reader's cut takes only the feed
                           b'5,stop,daily,' + b'p' * 1006 + b',*,1\n'],
    'wire_account_line': [b'Admin,Secret,,4294967295,1\n' + b'A' * 64 + b',' + b'0' * 64 +
                          b',,4128,x,y\nshort,row\n'],
    'wire_ban_text': [u32(0xFFFFFFFF) + u32(7200) + b'\x03Bob\x071.2.3.4\x00\x00\x08cheating' +
                      b'-1\xffBob\xff1.2.3.4\xff\xff\xff7200\xffcheating\xff'],
    'wire_console_packet': [answer('ConsoleMessage 0', 'game.listPlayers', '\r'),
                            u32(2) + u32(0) + u32(4) + b'a\0bc' + answer('x'),
                            u32(3) + b'ad\0' + u32(5) + b'QRST\0'],
    'wire_file_frame': [u32(5) + u32(7) + u32(0) + b'\x16hello\x11\x00\x00', b'korvane.con text\n' * 8],
}

for target, inputs in seeds.items():
    folder = os.path.join(root, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for i, data in enumerate(inputs):
        with open(os.path.join(folder, 'seed%d' % i), 'wb') as f:
            f.write(data)
print('seeds written for %d targets' % len(seeds), file=sys.stderr)
