#!/usr/bin/python3
# A file system of one file, disk.img, that writes no faster than a slow
# disk: its bytes go to a sparse file on the machine's own disk, but each
# write is held until the rate allows it.  A loop device over disk.img, with
# ext4 on it, is then a real slow block device for the benchmark.
#
#   throttle_fs.py BACKING_FILE SIZE_BYTES MB_PER_S MOUNTPOINT
# Runs in the foreground; unmount MOUNTPOINT (fusermount -u) to end it.
import errno
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations

NAME = "/disk.img"


class Throttled(Operations):
    def __init__(self, backing, size, bytes_per_s):
        self.fd = os.open(backing, os.O_RDWR | os.O_CREAT, 0o600)
        os.ftruncate(self.fd, size)
        self.size = size
        self.rate = bytes_per_s
        self.lock = threading.Lock()
        self.next_free = time.monotonic()

    def getattr(self, path, fh=None):
        now = time.time()
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2, st_atime=now,
                        st_mtime=now, st_ctime=now)
        if path == NAME:
            return dict(st_mode=stat.S_IFREG | 0o600, st_nlink=1, st_size=self.size,
                        st_atime=now, st_mtime=now, st_ctime=now)
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", NAME[1:]]

    def open(self, path, flags):
        if path != NAME:
            raise FuseOSError(errno.ENOENT)
        return 0

    def read(self, path, size, offset, fh):
        return os.pread(self.fd, size, offset)

    # Writes queue one behind the other at the rate, as on a disk.
    def write(self, path, data, offset, fh):
        with self.lock:
            start = max(self.next_free, time.monotonic())
            self.next_free = start + len(data) / self.rate
            done = self.next_free
        delay = done - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        return os.pwrite(self.fd, data, offset)

    def truncate(self, path, length, fh=None):
        raise FuseOSError(errno.EPERM)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return 0


def main():
    backing, size, mb_per_s, mountpoint = sys.argv[1:5]
    FUSE(Throttled(backing, int(size), float(mb_per_s) * 1e6), mountpoint, foreground=True,
         nothreads=False, big_writes=True, max_write=1048576, allow_other=False)


if __name__ == "__main__":
    main()
