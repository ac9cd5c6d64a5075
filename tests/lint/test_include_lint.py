"""The include lint on made-up trees: what it lets through, what it reports, and how."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

LINT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "include_lint.py")

HEADER = """# Architecture

Prose before the table, with a | in it.

| Folder | Owns | May include |
|---|---|---|
"""


class IncludeLintTests(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="include-lint-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    def write(self, path, text=""):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as stream:
            stream.write(text)

    def table(self, rows, before=HEADER):
        self.write("ARCHITECTURE.md", before + "".join(
            "| %s | what it owns, `SomeType` included | %s |\n" % row for row in rows)
            + "\nProse after the table.\n")

    def lint(self, *arguments):
        completed = subprocess.run([sys.executable, LINT, "--root", self.root, *arguments],
                                   capture_output=True, text=True, timeout=60)
        return completed.returncode, completed.stdout + completed.stderr

    def assertPasses(self):
        status, output = self.lint()
        self.assertEqual(status, 0, output)
        return output

    def assertFails(self, *expected):
        status, output = self.lint()
        self.assertEqual(status, 1, output)
        for text in expected:
            self.assertIn(text, output)
        return output

    def layered_tree(self):
        """base <- fs <- app, and a tool that uses base; each row as the code needs it."""
        self.write("src/base/constants.h", "#pragma once\n")
        self.write("src/base/sink.h", "#pragma once\n")
        self.write("src/base/constants.cpp", '#include "base/constants.h"\n')
        self.write("src/fs/files.h", '#pragma once\n#include "base/sink.h"\n')
        self.write("src/fs/files.cpp",
                   '#include "fs/files.h"\n\n#include <string>\n#include "base/constants.h"\n')
        self.write("src/app/main.cpp", '#include "fs/files.h"\n  #  include "base/sink.h"\n')
        self.write("tools/tool/main.cpp", '#include "options.h"\n#include "base/sink.h"\n')
        self.write("tools/tool/options.h", "#pragma once\n")

    def layered_table(self, fs_allows="`src/base`"):
        self.table([("`src/base`", "nothing"),
                    ("`src/fs`", fs_allows),
                    ("`src/app`", "`*`"),
                    ("`tools/tool`", "zlib (plain words are prose), `src/base/sink.h`")])

    def test_a_tree_that_keeps_to_its_table_passes(self):
        self.layered_tree()
        self.layered_table()
        output = self.assertPasses()
        self.assertIn("8 includes in 4 folders", output)

    def test_an_include_of_a_folder_that_the_row_does_not_allow_fails_naming_it(self):
        self.layered_tree()
        self.layered_table()
        self.write("src/fs/files.cpp", '#include "fs/files.h"\n#include "app/app.h"\n')
        self.write("src/app/app.h", "#pragma once\n")
        output = self.assertFails(
            'src/fs/files.cpp:2: #include "app/app.h" reaches src/app/app.h in src/app, but '
            "src/fs may include only src/fs, src/base (ARCHITECTURE.md:8)")
        self.assertEqual(output.count("#include"), 1, output)

    def test_a_row_without_allowances_may_include_only_its_own_folder(self):
        self.layered_tree()
        self.layered_table()
        self.write("src/base/constants.cpp", '#include "base/constants.h"\n#include "fs/files.h"\n')
        self.assertFails('src/base/constants.cpp:2: #include "fs/files.h" reaches src/fs/files.h',
                         "src/base may include only src/base (ARCHITECTURE.md:7)")

    def test_an_allowed_header_lets_in_that_header_only(self):
        self.layered_tree()
        self.layered_table()
        self.write("tools/tool/main.cpp", '#include "base/sink.h"\n#include "base/constants.h"\n')
        self.assertFails('tools/tool/main.cpp:2: #include "base/constants.h" reaches '
                         "src/base/constants.h in src/base, but tools/tool may include only "
                         "tools/tool, src/base/sink.h (ARCHITECTURE.md:10)")

    def test_a_folder_with_sources_but_no_row_fails(self):
        self.layered_tree()
        self.layered_table()
        self.write("src/net/http.cpp", '#include "base/sink.h"\n')
        self.assertFails("ARCHITECTURE.md: no row for the folder src/net, which holds http.cpp")

    def test_a_nested_folder_is_a_folder_of_its_own(self):
        self.layered_tree()
        self.layered_table()
        self.write("src/fs/watch/watcher.cpp", '#include "fs/files.h"\n')
        self.assertFails("no row for the folder src/fs/watch, which holds watcher.cpp")
        # With a row of its own it keeps to that row: it may not include what src/fs may.
        self.table([("`src/base`", ""), ("`src/fs`", "`src/base`"), ("`src/fs/watch`", "`src/fs`"),
                    ("`src/app`", "`*`"), ("`tools/tool`", "`src/base/sink.h`")])
        self.assertPasses()
        self.write("src/fs/watch/watcher.cpp", '#include "fs/files.h"\n#include "base/sink.h"\n')
        self.assertFails('src/fs/watch/watcher.cpp:2: #include "base/sink.h"',
                         "src/fs/watch may include only src/fs/watch, src/fs")

    def test_folders_named_in_one_row_form_one_unit(self):
        self.layered_tree()
        self.write("src/fs/watch/watcher.h", '#pragma once\n#include "fs/files.h"\n')
        self.write("src/fs/files.cpp", '#include "fs/files.h"\n#include "fs/watch/watcher.h"\n')
        self.table([("`src/base`", ""), ("`src/fs`, `src/fs/watch`", "`src/base`"),
                    ("`src/app`", "`*`"), ("`tools/tool`", "`src/base/sink.h`")])
        self.assertPasses()
        # The unit shares the row's allowances, and no more.
        self.write("src/fs/watch/watcher.h", '#pragma once\n#include "base/sink.h"\n'
                   '#include "app/app.h"\n')
        self.write("src/app/app.h", "#pragma once\n")
        self.assertFails('src/fs/watch/watcher.h:3: #include "app/app.h"',
                         "src/fs/watch may include only src/fs, src/fs/watch, src/base")

    def test_includes_are_resolved_beside_the_file_first(self):
        self.layered_tree()
        self.layered_table()
        # "options.h" beside tools/tool/main.cpp is the tool's own; a path out of the folder
        # is judged by where it leads.
        self.write("tools/tool/main.cpp", '#include "options.h"\n#include "../../src/fs/files.h"\n')
        self.assertFails('tools/tool/main.cpp:2: #include "../../src/fs/files.h" reaches '
                         "src/fs/files.h in src/fs")

    def test_a_generated_header_lies_where_its_template_lies(self):
        self.layered_tree()
        self.write("src/base/config.h.in", "#define X @X@\n")
        self.write("src/fs/files.cpp", '#include "base/config.h"\n')
        self.layered_table()
        self.assertPasses()
        self.layered_table(fs_allows="")
        self.assertFails('src/fs/files.cpp:1: #include "base/config.h" reaches '
                         "src/base/config.h in src/base")

    def test_an_include_of_no_header_of_the_tree_fails(self):
        self.layered_tree()
        self.layered_table()
        self.write("src/fs/files.cpp", '#include "fs/gone.h"\n')
        self.assertFails('src/fs/files.cpp:1: #include "fs/gone.h" names no header of the tree')

    def test_a_row_that_names_what_the_tree_does_not_hold_fails(self):
        self.layered_tree()
        self.table([("`src/base`", ""), ("`src/fs`", "`base` and `src/base/sinks.h`"),
                    ("`src/app`", "`*`"), ("`tools/tool`", "`src/base/sink.h`"),
                    ("`src/old`", "`src/base`")])
        self.assertFails("ARCHITECTURE.md:8: row `src/fs` may include `base`, which is no "
                         "folder with sources",
                         "ARCHITECTURE.md:8: row `src/fs` may include `src/base/sinks.h`, which "
                         "is no header of the tree",
                         "ARCHITECTURE.md:11: the row names `src/old`, which holds no .cpp or .h")

    def test_a_folder_in_two_rows_fails(self):
        self.layered_tree()
        self.table([("`src/base`", ""), ("`src/fs`", "`src/base`"), ("`src/app`", "`*`"),
                    ("`tools/tool`", "`src/base/sink.h`"), ("`src/fs`", "`*`")])
        self.assertFails("ARCHITECTURE.md:11: `src/fs` has a row already (line 8)")

    def test_the_column_may_also_be_headed_may_depend_on(self):
        self.layered_tree()
        self.layered_table()
        self.table([("`src/base`", ""), ("`src/fs`", ""), ("`src/app`", "`*`"),
                    ("`tools/tool`", "`src/base/sink.h`")],
                   before=HEADER.replace("May include", "May depend on"))
        self.assertFails('src/fs/files.h:2: #include "base/sink.h" reaches src/base/sink.h')

    def test_without_the_table_it_stops(self):
        self.layered_tree()
        self.write("ARCHITECTURE.md", "# Architecture\n\n| Folder | Owns |\n|---|---|\n")
        status, output = self.lint()
        self.assertEqual(status, 2, output)
        self.assertIn('holds no table with the columns "Folder" and "May include"', output)

    def test_a_row_with_a_stray_bar_stops(self):
        self.layered_tree()
        self.layered_table()
        with open(os.path.join(self.root, "ARCHITECTURE.md"), "a", encoding="utf-8") as stream:
            stream.write("\n| Folder | May include |\n|---|---|\n| `src/x` | a | b |\n")
        # Only the first table with both columns is read; the one above is complete.
        self.assertPasses()
        self.table([("`src/base`", "a | b")])
        status, output = self.lint()
        self.assertEqual(status, 2, output)
        self.assertIn("ARCHITECTURE.md:7: the row has 4 cells where the header has 3", output)


if __name__ == "__main__":
    unittest.main()
