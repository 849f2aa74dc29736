#!/usr/bin/python3
"""What a Samba share grants an SMB3 client that asks to cache a file (impacket).

    smb_grants.py HOST PORT SHARE/FILE...

For each FILE (a path inside SHARE) it opens the file twice, closing it before the next
open, for reading and writing and sharing both, as a Windows Jet engine opens a database or
its lock file: once asking for a batch oplock, once for a read-write-handle lease (what
Windows asks for since SMB 2.1). One connection serves each SHARE. It prints one line each:

    SHARE/FILE oplock none|level2|exclusive|batch
    SHARE/FILE lease none|R|RH|RW|RWH

or "SHARE/FILE error STATUS" where the open failed ("lease none" also where Samba answers
with a lease that lets the client cache nothing). Exit status 0 once every line is printed.
"""

import struct
import sys
import uuid

from impacket import nt_errors
from impacket.smb3structs import (FILE_NON_DIRECTORY_FILE, FILE_OPEN, FILE_READ_DATA,
                                  FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_WRITE_DATA,
                                  SMB2_CLOSE, SMB2_CREATE, SMB2_DIALECT_30, SMB2_IL_IMPERSONATION,
                                  SMB2_OPLOCK_LEVEL_BATCH, SMB2_OPLOCK_LEVEL_LEASE, SMB2Create,
                                  SMB2Close, SMB2Create_Response, SMB2Packet)
from impacket.smbconnection import SMBConnection
from impacket import smb3

OPLOCK_NAMES = {0x00: 'none', 0x01: 'level2', 0x08: 'exclusive', 0x09: 'batch'}
LEASE_READ, LEASE_HANDLE, LEASE_WRITE = 0x01, 0x02, 0x04


def lease_context():
    # SMB2_CREATE_REQUEST_LEASE ("RqLs"): key, state R|W|H, flags, duration.
    data = uuid.uuid4().bytes + struct.pack('<LLQ', LEASE_READ | LEASE_HANDLE | LEASE_WRITE, 0, 0)
    # Next, NameOffset, NameLength, Reserved, DataOffset, DataLength; the name padded to 8.
    return struct.pack('<LHHHHL', 0, 16, 4, 0, 24, len(data)) + b'RqLs' + b'\0' * 4 + data


def lease_state(response):
    buffer = response['Buffer']
    offset = 0
    while offset + 16 <= len(buffer):
        following, name_offset, name_length, _, data_offset, data_length = struct.unpack_from(
            '<LHHHHL', buffer, offset)
        if buffer[offset + name_offset:offset + name_offset + name_length] == b'RqLs':
            state = struct.unpack_from('<L', buffer, offset + data_offset + 16)[0]
            return ''.join(letter for bit, letter in ((LEASE_READ, 'R'), (LEASE_WRITE, 'W'),
                                                      (LEASE_HANDLE, 'H')) if state & bit) or 'none'
        if following == 0:
            break
        offset += following
    return 'none'


def request(conn, tree, packet_type, data):
    smb = conn.getSMBServer()
    packet = smb.SMB_PACKET()
    packet['Command'] = packet_type
    packet['TreeID'] = tree
    packet['Data'] = data
    return smb.recvSMB(smb.sendSMB(packet))


def ask(conn, tree, path, lease):
    name = path.replace('/', '\\').encode('utf-16le')
    create = SMB2Create()
    create['SecurityFlags'] = 0
    create['RequestedOplockLevel'] = SMB2_OPLOCK_LEVEL_LEASE if lease else SMB2_OPLOCK_LEVEL_BATCH
    create['ImpersonationLevel'] = SMB2_IL_IMPERSONATION
    create['DesiredAccess'] = FILE_READ_DATA | FILE_WRITE_DATA
    create['FileAttributes'] = 0
    create['ShareAccess'] = FILE_SHARE_READ | FILE_SHARE_WRITE
    create['CreateDisposition'] = FILE_OPEN
    create['CreateOptions'] = FILE_NON_DIRECTORY_FILE
    create['NameLength'] = len(name)
    create['Buffer'] = name
    create['CreateContextsOffset'] = 0
    create['CreateContextsLength'] = 0
    if lease:
        offset = len(SMB2Packet()) + SMB2Create.SIZE + len(name)
        padding = (8 - offset % 8) % 8
        context = lease_context()
        create['Buffer'] += b'\0' * padding + context
        create['CreateContextsOffset'] = offset + padding
        create['CreateContextsLength'] = len(context)
    reply = request(conn, tree, SMB2_CREATE, create)
    try:
        reply.isValidAnswer(nt_errors.STATUS_SUCCESS)
    except smb3.SessionError as error:
        code = error.get_error_code()
        return 'error ' + nt_errors.ERROR_MESSAGES.get(code, ('0x%08x' % code,))[0]
    response = SMB2Create_Response(reply['Data'])
    close = SMB2Close()
    close['FileID'] = response['FileID']
    request(conn, tree, SMB2_CLOSE, close)
    if lease:
        return 'lease ' + (lease_state(response)
                           if response['OplockLevel'] == SMB2_OPLOCK_LEVEL_LEASE else 'none')
    return 'oplock ' + OPLOCK_NAMES.get(response['OplockLevel'], hex(response['OplockLevel']))


def main():
    if len(sys.argv) < 4 or not all('/' in item for item in sys.argv[3:]):
        sys.exit(__doc__)
    host, port = sys.argv[1:3]
    trees = {}
    for item in sys.argv[3:]:
        share, path = item.split('/', 1)
        if share not in trees:
            conn = SMBConnection(host, host, sess_port=int(port), preferredDialect=SMB2_DIALECT_30,
                                 timeout=10)
            conn.login('guest', '')
            trees[share] = (conn, conn.connectTree(share))
        for lease in (False, True):
            print(item, ask(*trees[share], path, lease), flush=True)
    for conn, _ in trees.values():
        conn.logoff()


if __name__ == '__main__':
    main()
