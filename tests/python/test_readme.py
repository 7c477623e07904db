"""The README's examples run as written.

Python blocks with `>>>` prompts are doctests; the other Python blocks are
executed, so that later examples can use what they define. All blocks share
one namespace, in the order of the file.
"""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)


def python_blocks():
    text = README.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        if match.group(1) == "python":
            yield text.count("\n", 0, match.start()) + 1, match.group(2)


def test_readme_has_examples():
    assert sum(1 for _ in python_blocks()) >= 10


def test_readme_examples_run():
    namespace = {"__name__": "readme"}
    parser = doctest.DocTestParser()
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    for line, code in python_blocks():
        name = f"README.md, block at line {line}"
        if ">>>" not in code:
            exec(compile(code, name, "exec"), namespace)
            continue
        test = parser.get_doctest(code, namespace, name, str(README), line)
        report = []
        runner = doctest.DocTestRunner(optionflags=flags)
        result = runner.run(test, out=report.append, clear_globs=False)
        assert result.failed == 0, "".join(report)
        namespace.update(test.globs)
