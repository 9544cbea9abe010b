#ifndef TREGRADESCARGA_H
#define TREGRADESCARGA_H

#include <sys/types.h>

// How a store is made durable on the file system it is written to, learned
// from fstatfs and, for ext4, whether it has a journal (kept per file
// system). Any thread.
//
// ext4 with a journal and xfs: a journal commit starts with a flush of the
// device's cache, so data whose writeback completed before the commit is on
// stable storage once the commit is; and a commit holds every change of
// metadata made before it (ext4 commits its transactions in order, xfs its
// checkpoints). A store there waits for its data's writeback to complete,
// takes its name, and then one commit makes data, allocation and name
// durable together: fsync of the file (the link or rename changes its inode
// in the same transaction as the folder's entry), or of the file named last
// for several (TDescargaConjunta).
// Any other file system (btrfs, tmpfs, ext4 without a journal, network and
// FUSE file systems, anything unknown) is promised nothing of the kind: a
// store there takes fsync of its file before the name and fsync of its
// folder after, and never syncfs (FUSE, CIFS and eCryptfs do not pass it on
// to their storage).
class TRegraDescarga {
 public:
  enum TModo {
    UMA_CONFIRMACAO,  // data waited for, named, one commit
    DUAS_DESCARGAS,   // fsync of the file, named, fsync of the folder
  };

  // The mode of the file system that fd (an open file on it, whose device
  // is disco) is on; DUAS_DESCARGAS when it cannot be learned.
  static TModo modoDe(int fd, dev_t disco);

  // Whether the ext4 file system on device disco has a journal: false when
  // it has none or that cannot be read.
  static bool ext4ComDiario(dev_t disco);
};

#endif
