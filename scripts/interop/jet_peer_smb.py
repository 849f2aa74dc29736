#!/usr/bin/python3
"""A Windows workstation's Jet lock file use, over SMB2/3 with impacket.

    jet_peer_smb.py HOST PORT SHARE LOCKFILE SLOT COMPUTER ACCOUNT

Opens LOCKFILE (a path inside SHARE) as Jet does (read/write, shared read/write), sends a LOCK
for the slot's user lock (one byte at 0x10000001 + SLOT, exclusive) and writes its record at
SLOT*64, then prints "ready". It then answers one command a line on standard input, one line
each, so that a script can try what a workstation would do while Quillet is in:

    read OFFSET LENGTH    -> "ok HEX" or "error STATUS"
    write OFFSET HEX      -> "ok" or "error STATUS"
    lock OFFSET           -> "ok" or "error STATUS" (1 byte, exclusive, fail immediately)
    unlock OFFSET         -> "ok" or "error STATUS"

End of input closes the file and logs off (the record stays, as a workstation's often does).
"""

import sys

from impacket import nt_errors, smb3
from impacket.smb3structs import (FILE_READ_DATA, FILE_SHARE_READ, FILE_SHARE_WRITE,
                                  FILE_WRITE_DATA, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE,
                                  SMB2_DIALECT_30, SMB2_LOCK, SMB2Lock, SMB2_LOCK_ELEMENT,
                                  SMB2_LOCKFLAG_EXCLUSIVE_LOCK, SMB2_LOCKFLAG_FAIL_IMMEDIATELY,
                                  SMB2_LOCKFLAG_UNLOCK)
from impacket.smbconnection import SMBConnection, SessionError

USER_LOCK_BASE = 0x10000001
RECORD_SIZE = 64
NAME_SIZE = 32


def status_name(error):
    code = error.getErrorCode()
    return nt_errors.ERROR_MESSAGES.get(code, ("0x%08x" % code,))[0]


def byte_lock(conn, tree, fid, offset, flags):
    # impacket's own lock() joins its elements as str, which Python 3 refuses; send it here.
    smb = conn.getSMBServer()
    element = SMB2_LOCK_ELEMENT()
    element['Offset'] = offset
    element['Length'] = 1
    element['Flags'] = flags
    request = SMB2Lock()
    request['FileID'] = fid
    request['LockCount'] = 1
    request['Locks'] = element.getData()
    packet = smb.SMB_PACKET()
    packet['Command'] = SMB2_LOCK
    packet['TreeID'] = tree
    packet['Data'] = request
    reply = smb.recvSMB(smb.sendSMB(packet))
    try:
        reply.isValidAnswer(nt_errors.STATUS_SUCCESS)  # raises on any other status
    except smb3.SessionError as error:
        raise SessionError(error.get_error_code(), reply)


def record(computer, account):
    def field(name):
        return name.encode('cp1252')[:NAME_SIZE].ljust(NAME_SIZE, b'\0')
    return field(computer) + field(account)


def answer(line):
    print(line, flush=True)


def main():
    if len(sys.argv) != 8:
        sys.exit(__doc__)
    host, port, share, path, slot, computer, account = sys.argv[1:]
    slot = int(slot)

    conn = SMBConnection(host, host, sess_port=int(port), preferredDialect=SMB2_DIALECT_30, timeout=10)
    conn.login('guest', '')
    tree = conn.connectTree(share)
    fid = conn.openFile(tree, path, desiredAccess=FILE_READ_DATA | FILE_WRITE_DATA,
                        shareMode=FILE_SHARE_READ | FILE_SHARE_WRITE,
                        creationOption=FILE_NON_DIRECTORY_FILE, creationDisposition=FILE_OPEN_IF)
    # Claim the slot before writing its record, so no record is written into a slot in use.
    byte_lock(conn, tree, fid, USER_LOCK_BASE + slot,
              SMB2_LOCKFLAG_EXCLUSIVE_LOCK | SMB2_LOCKFLAG_FAIL_IMMEDIATELY)
    conn.writeFile(tree, fid, record(computer, account), slot * RECORD_SIZE)
    answer("ready")

    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            if words[0] == 'read':
                data = conn.readFile(tree, fid, int(words[1], 0), int(words[2], 0))
                answer("ok " + data.hex())
            elif words[0] == 'write':
                conn.writeFile(tree, fid, bytes.fromhex(words[2]), int(words[1], 0))
                answer("ok")
            elif words[0] == 'lock':
                byte_lock(conn, tree, fid, int(words[1], 0),
                          SMB2_LOCKFLAG_EXCLUSIVE_LOCK | SMB2_LOCKFLAG_FAIL_IMMEDIATELY)
                answer("ok")
            elif words[0] == 'unlock':
                byte_lock(conn, tree, fid, int(words[1], 0), SMB2_LOCKFLAG_UNLOCK)
                answer("ok")
            else:
                answer("error unknown command")
        except SessionError as error:
            answer("error " + status_name(error))

    conn.closeFile(tree, fid)
    conn.logoff()
    answer("left")


if __name__ == '__main__':
    main()
