#!/usr/bin/python3
"""Checks every #include "..." under src/ and tools/ against ARCHITECTURE.md's table.

Usage: include_lint.py [--root DIR] [--table FILE] [--sources DIR]... [--include-root DIR]...

The table is the first Markdown table of ARCHITECTURE.md with the columns "Folder" and "May
include" (or "May depend on"). Only backquoted words in those two cells count; everything else
is prose for the reader (external libraries, what a folder is used for):

  Folder        one or more folders, each a path from the repository root in backquotes
                (`src/localfs`). Several folders in one cell form one unit: each may include
                the others' headers, and all share the row's allowances.
  May include   each allowance in backquotes: a folder (`src/localfs`: every header directly
                in it, not in the folders below it), one header (`src/bootstrap/message_sink.h`)
                or `*` (every folder). A row without one may include only its own headers.

The folders are found on disk: each directory under the source roots (src/ and tools/) that
holds a .cpp or .h file is a folder of its own, nested ones included (src/a/b apart from
src/a), unless a row names it together with others. An include is resolved as the compiler
resolves it: beside the including file first, then under each include root (src/); a header
that the build generates from NAME.in counts as lying where its template lies.

Exit status 0 when every include keeps to the table; 1 with one line per fault (the file and
line, the include, the folder it reaches and the rule it breaks) when one does not, when a
folder with sources has no row, or when a row names what the tree does not hold; 2 when the
table cannot be found or read.
"""

import argparse
import os
import re
import sys

FOLDER_COLUMN = "folder"
ALLOWED_COLUMNS = ("may include", "may depend on")
EVERY_FOLDER = "*"
SOURCE_SUFFIXES = (".cpp", ".h")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
BACKQUOTED = re.compile(r"`([^`]+)`")


class TableError(Exception):
    """The table is missing or not in the form described above."""


class Row:
    def __init__(self, line_number, folders, allowed_folders, allowed_headers, everything):
        self.line_number = line_number
        self.folders = folders  # paths from the root, as written
        self.allowed_folders = allowed_folders
        self.allowed_headers = allowed_headers
        self.everything = everything

    def name(self):
        return ", ".join("`%s`" % folder for folder in self.folders)

    def allowances(self):
        """The rule of this row, in words, for a fault's message."""
        if self.everything:
            return "every folder"
        own = list(self.folders)
        allowed = own + [f for f in self.allowed_folders if f not in own] + self.allowed_headers
        return ", ".join(allowed)

    def allows(self, target_folder, target_file):
        return (self.everything or target_folder in self.folders
                or target_folder in self.allowed_folders or target_file in self.allowed_headers)


def split_cells(line):
    stripped = line.strip()
    if stripped.startswith("|"):
        stripped = stripped[1:]
    if stripped.endswith("|"):
        stripped = stripped[:-1]
    return [cell.strip() for cell in stripped.split("|")]


def is_separator(cells):
    return all(re.fullmatch(r":?-+:?", cell) for cell in cells)


def normalized(path):
    return os.path.normpath(path.strip().rstrip("/"))


def read_table(table_path):
    """The rows of the first table that has a "Folder" and a "May include" column."""
    try:
        with open(table_path, encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        raise TableError("cannot read %s: %s" % (table_path, error.strerror))
    for index, line in enumerate(lines):
        if not line.lstrip().startswith("|"):
            continue
        header = [cell.lower() for cell in split_cells(line)]
        allowed_columns = [name for name in ALLOWED_COLUMNS if name in header]
        if FOLDER_COLUMN not in header or not allowed_columns:
            continue
        if index + 1 >= len(lines) or not is_separator(split_cells(lines[index + 1])):
            raise TableError("%s:%d: the table's header is not followed by a |---| line"
                             % (table_path, index + 1))
        folder_column = header.index(FOLDER_COLUMN)
        depends_column = header.index(allowed_columns[0])
        rows = []
        for number in range(index + 2, len(lines)):
            if not lines[number].lstrip().startswith("|"):
                break
            cells = split_cells(lines[number])
            if len(cells) != len(header):
                raise TableError("%s:%d: the row has %d cells where the header has %d (a | in "
                                 "a cell?)" % (table_path, number + 1, len(cells), len(header)))
            folders = [normalized(word) for word in BACKQUOTED.findall(cells[folder_column])]
            if not folders:
                raise TableError("%s:%d: the Folder cell names no folder in backquotes (%r)"
                                 % (table_path, number + 1, cells[folder_column]))
            words = [word.strip() for word in BACKQUOTED.findall(cells[depends_column])]
            everything = EVERY_FOLDER in words
            allowed = [normalized(word) for word in words if word != EVERY_FOLDER]
            rows.append(Row(number + 1, folders,
                            [word for word in allowed if not word.endswith(".h")],
                            [word for word in allowed if word.endswith(".h")], everything))
        return rows
    raise TableError("%s holds no table with the columns \"Folder\" and \"May include\""
                     % table_path)


def source_folders(root, source_roots):
    """Each directory under the source roots that holds a .cpp or .h file, from the root."""
    found = {}
    for source_root in source_roots:
        top = os.path.join(root, source_root)
        for directory, subdirectories, files in os.walk(top):
            subdirectories.sort()
            sources = sorted(name for name in files if name.endswith(SOURCE_SUFFIXES))
            if sources:
                found[os.path.relpath(directory, root)] = sources
    return found


def header_exists(path):
    return os.path.isfile(path) or os.path.isfile(path + ".in")


def resolve(root, including_file, included, include_roots):
    """The included header as a path from the root, or None when no candidate exists."""
    candidates = [os.path.join(os.path.dirname(including_file), included)]
    candidates += [os.path.join(root, include_root, included) for include_root in include_roots]
    for candidate in candidates:
        if header_exists(candidate):
            return os.path.relpath(os.path.normpath(candidate), root)
    return None


def check(root, table_path, source_roots, include_roots):
    """The faults found, each one line, and the number of includes checked."""
    rows = read_table(table_path)
    table_name = os.path.relpath(table_path, root)
    folders = source_folders(root, source_roots)
    faults = []

    row_of = {}
    for row in rows:
        for folder in row.folders:
            if folder in row_of:
                faults.append("%s:%d: `%s` has a row already (line %d)"
                              % (table_name, row.line_number, folder, row_of[folder].line_number))
            elif folder not in folders:
                faults.append("%s:%d: the row names `%s`, which holds no .cpp or .h file"
                              % (table_name, row.line_number, folder))
            row_of.setdefault(folder, row)
        for allowed in row.allowed_folders:
            if allowed not in folders:
                faults.append("%s:%d: row %s may include `%s`, which is no folder with sources "
                              "(a folder or header is written as its path from the repository "
                              "root; libraries are plain words)"
                              % (table_name, row.line_number, row.name(), allowed))
        for header in row.allowed_headers:
            if not header_exists(os.path.join(root, header)):
                faults.append("%s:%d: row %s may include `%s`, which is no header of the tree"
                              % (table_name, row.line_number, row.name(), header))
    for folder in sorted(folders):
        if folder not in row_of:
            faults.append("%s: no row for the folder %s, which holds %s" % (
                table_name, folder, ", ".join(folders[folder][:3])
                + (", ..." if len(folders[folder]) > 3 else "")))

    checked = 0
    for folder in sorted(folders):
        row = row_of.get(folder)
        for name in folders[folder]:
            path = os.path.join(root, folder, name)
            shown = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as stream:
                lines = stream.read().splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                checked += 1
                included = match.group(1)
                target = resolve(root, path, included, include_roots)
                if target is None:
                    faults.append('%s:%d: #include "%s" names no header of the tree (looked '
                                  'beside the file and under %s)'
                                  % (shown, number, included, ", ".join(include_roots)))
                    continue
                if row is None:
                    continue  # reported above, once for the folder
                target_folder = os.path.dirname(target)
                if not row.allows(target_folder, target):
                    faults.append('%s:%d: #include "%s" reaches %s in %s, but %s may include '
                                  'only %s (%s:%d)'
                                  % (shown, number, included, target, target_folder, folder,
                                     row.allowances(), table_name, row.line_number))
    return faults, checked, len(folders)


def main(argv):
    default_root = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                 "..", ".."))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=default_root, help="the repository root")
    parser.add_argument("--table", help="the file with the table (ROOT/ARCHITECTURE.md)")
    parser.add_argument("--sources", action="append",
                        help="a source root under ROOT (src and tools unless given)")
    parser.add_argument("--include-root", action="append",
                        help="a directory under ROOT that includes are resolved against "
                             "(src unless given)")
    options = parser.parse_args(argv)
    root = os.path.abspath(options.root)
    table = os.path.abspath(options.table or os.path.join(root, "ARCHITECTURE.md"))
    try:
        faults, checked, folder_count = check(root, table, options.sources or ["src", "tools"],
                                              options.include_root or ["src"])
    except TableError as error:
        print("include lint: %s" % error, file=sys.stderr)
        return 2
    for fault in faults:
        print(fault)
    if faults:
        print("include lint: %d fault(s); the table of %s is the rule, see the start of %s"
              % (len(faults), os.path.relpath(table, root), os.path.basename(__file__)))
        return 1
    print("include lint: %d includes in %d folders keep to %s"
          % (checked, folder_count, os.path.relpath(table, root)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
