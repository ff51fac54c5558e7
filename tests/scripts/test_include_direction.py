"""The include-direction check of scripts/lint.sh on planted includes."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "include_direction.py")


class IncludeDirectionTest(unittest.TestCase):
    def test_planted_includes(self):
        cases = [
            # (file, line, refused)
            ("http/texts.h", '#include "app/application.h"', True),
            ("platform/file.cpp", '  #  include "shares/share.h"', True),
            ("cli/options.h", '#include "ui/panel_logic.h"', True),
            ("ui/panel.cpp", '#include "cli/options.h"', True),
            ("app/deep/inner.h", '#include "ui/panel.h"', True),
            ("ui/panel.cpp", '#include "app/application.h"', False),
            ("http/texts.h", '#include "http/request.h"', False),
            ("http/texts.h", '#include "quillcast_version.h"', False),
            ("shares/share.h", '#include <string>', False),
            ("shares/share.h", '// #include "app/application.h" is what we do not do', False),
        ]
        for path, line, refused in cases:
            with self.subTest(path=path, line=line), tempfile.TemporaryDirectory() as src:
                for floor in ("platform", "shares", "http", "app", "ui", "cli"):
                    os.makedirs(os.path.join(src, floor))
                os.makedirs(os.path.dirname(os.path.join(src, path)), exist_ok=True)
                with open(os.path.join(src, path), "w") as f:
                    f.write("#pragma once\n" + line + "\n")
                run = subprocess.run([sys.executable, CHECK, src], capture_output=True, text=True)
                self.assertEqual(run.returncode, 1 if refused else 0, run.stdout)
                if refused:
                    self.assertIn(f"{path}:2:", run.stdout)

    def test_a_folder_no_floor_owns_is_named(self):
        with tempfile.TemporaryDirectory() as src:
            os.makedirs(os.path.join(src, "extras"))
            run = subprocess.run([sys.executable, CHECK, src], capture_output=True, text=True)
            self.assertEqual(run.returncode, 1)
            self.assertIn("extras/", run.stdout)


if __name__ == "__main__":
    unittest.main()
