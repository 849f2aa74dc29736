#!/usr/bin/python3
"""A Windows workstation's Jet lock file use, over SMB2/3 with impacket.

    jet_peer_smb.py HOST PORT SHARE LOCKFILE SLOT COMPUTER ACCOUNT
    jet_peer_smb.py HOST PORT SHARE --open none|shared COMPUTER FILE...

Opens LOCKFILE (a path inside SHARE) as Jet does (read/write, shared read/write), sends a LOCK
for the slot's user lock (one byte at 0x10000001 + SLOT, exclusive) and writes its record at
SLOT*64, then prints "ready". It then answers one command a line on standard input, one line
each, so that a script can try what a workstation would do while Quillet is in:

    read OFFSET LENGTH    -> "ok HEX" or "error STATUS"
    write OFFSET HEX      -> "ok" or "error STATUS"
    lock OFFSET           -> "ok" or "error STATUS" (1 byte, exclusive, fail immediately)
    unlock OFFSET         -> "ok" or "error STATUS"

End of input closes the file and logs off (the record stays, as a workstation's often does).

With --open it opens each FILE (a path inside SHARE; one named twice is opened twice), each on
a connection of its own, for reading and writing as a workstation's Jet opens a database: "none"
shares it with nobody (an exclusive open), "shared" lets others read and write. It takes no
byte-range lock and touches no lock file, prints "ready", holds the files until end of input,
then closes them, logs off and prints "left". An open Samba refuses prints "error STATUS" and
ends it, exit status 1. COMPUTER is the workstation name the client gives in its session setup
(over port 445 Samba lists the client's address as its machine all the same).
"""

import sys

from impacket import nt_errors, smb3
from impacket.smb3structs import (FILE_READ_DATA, FILE_SHARE_READ, FILE_SHARE_WRITE,
                                  FILE_WRITE_DATA, FILE_OPEN, FILE_OPEN_IF,
                                  FILE_NON_DIRECTORY_FILE,
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


SHARE_MODES = {'none': 0, 'shared': FILE_SHARE_READ | FILE_SHARE_WRITE}


def hold_open(host, port, share, mode, computer, paths):
    # A connection for each open: impacket's own bookkeeping keeps one open per file name.
    opens = []
    for path in paths:
        conn = SMBConnection(host, host, myName=computer, sess_port=int(port),
                             preferredDialect=SMB2_DIALECT_30, timeout=10)
        conn.login('guest', '')
        tree = conn.connectTree(share)
        try:
            fid = conn.openFile(tree, path, desiredAccess=FILE_READ_DATA | FILE_WRITE_DATA,
                                shareMode=SHARE_MODES[mode],
                                creationOption=FILE_NON_DIRECTORY_FILE,
                                creationDisposition=FILE_OPEN)
        except SessionError as error:
            answer("error " + status_name(error))
            sys.exit(1)
        opens.append((conn, tree, fid))
    answer("ready")
    for _ in sys.stdin:
        pass
    for conn, tree, fid in opens:
        conn.closeFile(tree, fid)
        conn.logoff()
    answer("left")


def main():
    if len(sys.argv) >= 8 and sys.argv[4] == '--open' and sys.argv[5] in SHARE_MODES:
        hold_open(*sys.argv[1:4], sys.argv[5], sys.argv[6], sys.argv[7:])
        return
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
