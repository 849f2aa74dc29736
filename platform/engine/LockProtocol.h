#pragma once

// How this engine shares a database file with other connections
// =============================================================
//
// Linux has no Jet engine. This one keeps Jet's observable rules: the first connection
// to open a database decides its locking mode (page or record level) and every later
// connection, in any process, joins that mode until the last one closes; a lock file
// "<name>.ldb" beside the database lists who is in, and the last one out deletes it; an
// exclusive open shuts everybody else out. It must also live beside real Jet engines on
// Windows workstations that reach the same folder through Samba, or run under Wine.
// Everything below is kept in byte-range locks, never in shared memory or a daemon, so
// that a connection that dies (SIGKILL, power cut of a client) leaves nothing that needs
// cleaning up: the kernel drops its locks and the next opener is simply the first.
//
// Why open-file-description locks
// -------------------------------
// Every lock here is an OFD lock (F_OFD_SETLK). Classic POSIX locks belong to the
// process, so closing any descriptor of the file drops all of the process's locks on
// it, and two connections of one process could not hold the same byte; flock has no
// byte ranges. OFD locks belong to one open file description: each connection opens the
// files itself and owns exactly the locks it took. Both kinds conflict with each other,
// so a classic lock taken by another program (Wine's server) is seen and respected.
//
// The database file
// -----------------
// This engine's private range starts at 2^62, far beyond any real page, so Samba (which
// enforces Linux locks against its clients' reads and writes) never refuses a client a
// byte it needs:
//
//   2^62 + 0    gate      write-locked only for the microseconds of a join or a leave,
//                         so that these never overlap: the first opener is unambiguous,
//                         and "the last one out deletes the lock file" is exact.
//   2^62 + 1    exclusive write-locked by an exclusive connection; read-locked by a
//                         shared one that has no lock file (its name is the database's)
//                         or no slot of its own (a full lock file, below).
//   2^62 + 2    record    read-locked with 2^62 + 1 by such a shared connection in a
//                         record-level session.
//   2^62 + 3    read-only exclusive
//                         read-locked by an exclusive connection that could open the
//                         file read-only only (such a descriptor cannot take write locks).
//   2^62 + 16 + 2i      mark of slot i in a page-level session,
//   2^62 + 16 + 2i + 1  mark of slot i in a record-level session:
//                         write-locked (read-locked by a read-only joiner, below) by the
//                         connection of this engine that holds slot i
//                         of the lock file. It is also that connection's presence and says
//                         its session's mode, so that the mode outlives its first opener
//                         for as long as anyone is there, and "anyone there, in which
//                         mode?" is one F_OFD_GETLK over 2^62 + 1 .. the last mark.
//
// Any lock on the database outside [2^62, 2^62 + 1024) is another engine's.
//
// The lock file
// -------------
// Jet's own layout, so that Jet on Windows and this engine read each other's files:
//
//   0 .. 255*64        up to 255 records of 64 bytes, record i = slot i: computer name
//                      (32 bytes) and account name (32 bytes), padded with NULs or
//                      spaces. Nobody ever locks these bytes: Samba would then refuse a
//                      Windows client the record it must read or write.
//   0x10000001 + i     the user lock of slot i, one byte beyond the end of the file.
//                      Whoever holds it owns slot i; a record whose user lock nobody
//                      holds was left behind. Jet takes the first free one; its other
//                      locks lie in 0x10000001 .. 0x6FF800FF.
//
// A connection of this engine holds the user lock of its slot and, on the database, the
// slot's mark. A held user lock whose mark nobody holds is another engine's connection;
// so is any lock in the lock file that is not a user lock (a whole-file lock is this
// engine's Kill or last leaver, for microseconds). Both kinds of lock, OFD and classic,
// count. Keeping the mark on the database costs no lock of its own: it is the presence.
//
// Join, leave and the others
// --------------------------
//   shared join     take the gate (waiting at most 3 s); read who is there from the
//                   exclusive and mark bytes: nobody -> the mode asked for, a shared
//                   session -> its mode, an exclusive holder -> 3045; claim a slot (its
//                   mark for the mode, then its user lock; a slot whose user lock anyone
//                   holds is skipped, its record never written); write our record; let
//                   go of the gate. A joiner that fails after creating the lock file (a
//                   full disk) deletes it again, as a last leaver would.
//   leave           take the gate (if it cannot be had in 3 s, leave without deleting:
//                   the file stays like a crashed connection's); zero our own record; if
//                   a write lock over the whole lock file is granted, nobody else (of any
//                   engine) is in it, and it is deleted if its name still names it; close
//                   the lock file (the user lock goes), then the database (the rest).
//                   Whoever looks for other engines takes the gate too (shared), so it
//                   never sees a user lock of ours between its mark and its leaving.
//   exclusive       take the gate; refuse (3045) if anyone of this engine or another is
//                   there; write-lock presence. No lock file is kept.
//   one process,    a further connection of a process that already holds a slot may
//   a full file     join a lock file whose slots are all held on presence alone, like
//                   one without a lock file: its process is listed already. This is how
//                   the probe reads the mode beside 254 others. Any other joiner of a
//                   full file gets 3050.
//   read-only       a user who may read the database but not write it has a descriptor
//   join            that takes read locks only, and every test here is made with a write
//                   lock, which read locks conflict with: so its gate, mark or presence
//                   is a read lock and is seen by everyone as anyone's. Its lock file is
//                   opened for writing as anyone's (a new lock file may be written by
//                   whoever may read the database), so its user lock and record are as
//                   usual. Sharing the gate keeps writers' joins and leaves out, but not
//                   another read-only joiner's: two may both see nobody and ask for
//                   different modes. So once its mark is taken a read-only joiner looks
//                   again, and gives up (3050) if any mark or presence says the other mode,
//                   or a read-only exclusive holder is there. Each rival looks after its
//                   own mark is taken, so at least one sees the other; both may give up,
//                   and no writer ever meets a session of two modes. Its leave takes the
//                   gate shared too; the whole-file test decides the deletion as for
//                   anyone, and a read-only joiner in the middle of its claim meets it as
//                   it would a Kill.
//   read-only       the gate is taken shared, the read-only-exclusive byte read-locked,
//   exclusive       and the whole state looked at again for a read-only rival that
//                   slipped in beside us; rivals give up.
//   another engine  its locks are seen but its mode is not: the locking-mode property
//   present         cannot be read (the probe says "cannot be found"), an exclusive open
//                   is refused, Kill and the last leaver leave the lock file alone, and
//                   its record is never touched. A shared open still succeeds, as Jet
//                   lets a workstation in. Once its locks are gone all is as before.
//
// Folders
// -------
// A connection opens the database's folder once and names the database and its lock file
// in it, so that nobody who renames folders meanwhile can send a step elsewhere; it looks
// before it opens (FolderFiles.h), and a lock file is unlinked only if its name still names
// the file judged. A new lock file is created in a folder that
// belongs to neither this process's user nor root only where the folder's owner's own
// permission bits let them write and enter it, and is handed to that owner; otherwise the
// open fails as one that may not create the lock file does (3051).
//
// The Kill race
// -------------
// Kill (deleting a lock file left behind) read-locks the whole lock file while it
// unlinks: that is refused while anyone holds a user lock, and once granted it
// keeps joiners from claiming a slot until the file is gone. A joiner that meets it, or
// that finds after its claim that the path no longer names the file it holds, starts
// again with the new file.
//
// Bounds on waiting
// -----------------
// Nothing waits without bound. The gate is waited for at most 3 s (a holder stopped by
// SIGSTOP costs a joiner "Could not lock file." after that); a join that keeps meeting
// Kills gives up after 5 s. So an open may block up to 5 s and a close up to 3 s; with
// nobody misbehaving each takes microseconds.
//
// Where locks stay on this computer
// ---------------------------------
// All of the above holds where everyone who reaches the file sees the same locks: a local
// filesystem (with Samba's and Wine's locks), or a network one that forwards them to its
// server. A client mount whose locks stay in this kernel (FUSE, CIFS with nobrl, NFS with
// local locks; LockReach.h has the table) sees only this computer's connections. There a
// connection claims nothing: it joins by its presence on the database alone, never
// creating, writing or deleting a lock file (it cannot know which slot is free); the mode
// cannot be read; an exclusive open is refused, as it would shut out nobody elsewhere. The
// same caution covers a lock query that fails: it means "cannot tell", never "nobody".
//
// Locks Samba keeps to itself
// ---------------------------
// A share of the Samba server here with "locking = no" keeps no lock of its clients at all,
// and one with "posix locking = no" keeps them in Samba's own table, out of Linux's sight.
// Where such a share serves the database's folder, or may, it counts as a client mount
// (SambaServing.h), unless that table can be read (as root, beside root's smbd), where it
// stands in for Linux's locks: every lock it lists is a client's, so a listed user lock
// counts as held (its slot is skipped, its record is live, and a connection of ours whose
// slot it turns out to be leaves that record alone), and any other listed lock on either
// file is another engine's. The table is up to a second old, and Samba's clients see none
// of our locks there: a claim is exclusive only against what the table listed.
//
// What cannot be seen: Windows clients that hold no lock (share modes never reach Linux).

#include <sys/types.h>

namespace quillet::lockmap {

inline constexpr off_t kPrivateBase = off_t{1} << 62;

// The database file.
inline constexpr off_t kGate = kPrivateBase;
inline constexpr off_t kExclusive = kPrivateBase + 1;
inline constexpr off_t kRecordLevel = kPrivateBase + 2;
inline constexpr off_t kReadOnlyExclusive = kPrivateBase + 3;
inline constexpr off_t kMarkBase = kPrivateBase + 16;
inline constexpr off_t kDatabasePrivateLength = 1024;

// The lock file.
inline constexpr int kSlots = 255;
inline constexpr int kRecordSize = 64;  // computer name, then account name
inline constexpr int kNameSize = 32;
inline constexpr off_t kRecordsEnd = off_t{kSlots} * kRecordSize;
inline constexpr off_t kUserLockBase = 0x10000001;

inline constexpr off_t UserLock(int slot) { return kUserLockBase + slot; }
// On the database: the mark of a slot in a session of either mode, and the two together.
inline constexpr off_t Mark(int slot, bool recordLevel) {
  return kMarkBase + 2 * slot + recordLevel;
}
inline constexpr off_t kMarksEnd = kMarkBase + 2 * kSlots;

// The other way round, for whoever reads the locks: the slot whose mark (in [kMarkBase,
// kMarksEnd)) or user lock (in [UserLock(0), UserLock(kSlots))) a byte is, and the mode a mark
// says.
inline constexpr int SlotOfMark(off_t mark) { return static_cast<int>((mark - kMarkBase) / 2); }
inline constexpr bool MarkSaysRecordLevel(off_t mark) { return (mark - kMarkBase) % 2 == 1; }
inline constexpr int SlotOfUserLock(off_t userLock) {
  return static_cast<int>(userLock - kUserLockBase);
}

}  // namespace quillet::lockmap
