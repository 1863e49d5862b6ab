"""Undoing a run's changes to the file system: every directory it made and every file it
replaced is put back as it was unless the run completes."""

import os
import shutil
import tempfile


class Changes:
    """The changes of one run, undone in reverse order by `undo`, or kept by `keep`.

    Used as a context manager, an exception of any kind (an interrupt included) undoes
    them, and the exception goes on."""

    def __init__(self):
        self._undo = []
        self._scratch = []

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.keep()
        else:
            self.undo()
        return False

    def make_dirs(self, path):
        """Makes `path` and the parents it lacks; each one made is removed on undo."""
        path = os.path.abspath(path)
        missing = []
        while not os.path.isdir(path):
            missing.append(path)
            parent = os.path.dirname(path)
            if parent == path:
                break
            path = parent
        for directory in reversed(missing):
            os.mkdir(directory)
            self._undo.append(lambda d=directory: _remove_empty_dir(d))

    def scratch_dir(self, beside):
        """A new private directory in the directory `beside` (made when missing), removed
        with what it holds when the run ends either way (unless renamed away before)."""
        self.make_dirs(beside)
        scratch = tempfile.mkdtemp(prefix=".corvela-image-", dir=beside)
        self._undo.append(lambda: shutil.rmtree(scratch, ignore_errors=True))
        self._scratch.append(scratch)
        return scratch

    def move_into_place(self, source, target):
        """Renames `source` to `target`, which must not exist; removed again on undo."""
        if os.path.lexists(target):
            raise FileExistsError("%s exists already" % target)
        os.rename(source, target)
        if os.path.isdir(target):
            self._undo.append(lambda: shutil.rmtree(target, ignore_errors=True))
        else:
            self._undo.append(lambda: _remove_file(target))

    def replace_file(self, source, target, backup_dir):
        """Puts the file `source` in place of `target`, keeping the old one in `backup_dir`
        (on the same file system) until the run completes; each rename is atomic."""
        backup = os.path.join(backup_dir, "replaced-%d-%s" % (len(self._undo), os.path.basename(target)))
        os.rename(target, backup)
        self._undo.append(lambda: os.replace(backup, target))
        os.rename(source, target)

    def undo(self):
        while self._undo:
            step = self._undo.pop()
            try:
                step()
            except OSError:
                pass  # what cannot be put back stays; the rest is still undone

    def keep(self):
        self._undo.clear()
        for scratch in self._scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        self._scratch.clear()


def _remove_empty_dir(path):
    try:
        os.rmdir(path)
    except FileNotFoundError:
        pass


def _remove_file(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass
