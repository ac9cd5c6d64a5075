"""Running something as another user (nobody, for the permission cases under root).

That user must be able to enter every directory on the way to what it runs and to the files
it is given. A checkout may lie where no other user can enter (a 0700 directory such as
mktemp -d makes, or /root), so such a case copies what it runs into its own scratch directory
under /tmp, made 0755, and skips, naming the directory, only where that is out of reach too.
"""

import os
import shutil
import stat


def unreachable_directory(path):
    """The first directory from / down to path (path included when it is a directory) that
    other users cannot enter, or None when they can reach path."""
    path = os.path.abspath(path)
    directories = []
    current = path if os.path.isdir(path) else os.path.dirname(path)
    while True:
        directories.append(current)
        if current == "/":
            break
        current = os.path.dirname(current)
    for directory in reversed(directories):
        if not os.stat(directory).st_mode & stat.S_IXOTH:
            return directory
    return None


def open_scratch(directory):
    """Makes a test's scratch directory enterable by others; the reason it stays out of their
    reach (for a skip), or None."""
    os.chmod(directory, 0o755)
    blocked = unreachable_directory(directory)
    if blocked is not None:
        return ("other users cannot enter %s, on the way to the scratch directory %s (is TMPDIR "
                "private?)" % (blocked, directory))
    return None


def copy_executable(path, directory):
    """A copy of the program at path in directory, mode 0755, for another user to run."""
    copy = os.path.join(directory, os.path.basename(path))
    shutil.copyfile(path, copy)
    os.chmod(copy, 0o755)
    return copy
