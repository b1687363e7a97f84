"""The README's examples run as written: its C blocks are compiled with the
README's own `cc` command, then its Python blocks run in order in one
namespace, in a scratch folder (where the compiled library lands); its Layout
section names every native file under its folder."""

import contextlib
import io
import os
import re
import shlex
import subprocess

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\s*$", re.S | re.M)


def blocks(language):
    with open(README, encoding="utf-8") as f:
        text = f.read()
    found = []
    for match in FENCE.finditer(text):
        if match.group(1) == language:
            found.append((text.count("\n", 0, match.start()) + 2, match.group(2)))
    return found


def compile_c_examples(folder):
    """Writes every C block to the file its first-line comment names and runs
    the README's `cc` command lines there."""
    for _, code in blocks("c"):
        name = re.match(r"/\* (\S+\.c):", code)
        assert name, "a C example must start with a comment naming its file"
        with open(os.path.join(folder, name.group(1)), "w", encoding="utf-8") as f:
            f.write(code)
    commands = [line for _, code in blocks("sh") for line in code.splitlines()
                if line.startswith("cc ")]
    assert commands, "the README shows how to compile its C example"
    # The compiler must not run under the sanitizer runtime of a sanitized run.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for command in commands:
        subprocess.run(shlex.split(command), cwd=folder, env=env, check=True)


def test_readme_python_examples_run(tmp_path, monkeypatch):
    python = blocks("python")
    sources = "\n".join(code for _, code in python)
    # Each entry is shown, and so are both ways of getting a measurement address.
    for needle in ("kalman_hot_loop(", "ukf_hot_loop(", "@cfunc(", ".address",
                   "ctypes.cast(lib.", "ctypes.c_void_p).value"):
        assert needle in sources, needle

    compile_c_examples(str(tmp_path))
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    printed = io.StringIO()
    for line, code in python:
        with contextlib.redirect_stdout(printed):
            try:
                exec(compile(code, f"README.md, block at line {line}", "exec"), namespace)
            except Exception as error:
                pytest.fail(f"README example at line {line} raised {error!r}")
    # Every block that prints produced output, and none printed a NaN.
    assert printed.getvalue().count("\n") == sources.count("print(")
    assert "nan" not in printed.getvalue().lower()


def test_readme_commands_exist():
    """The scripts and files that the README tells people to use are there."""
    root = os.path.dirname(README)
    text = open(README, encoding="utf-8").read()
    for path in re.findall(r"\b((?:tools|examples|bench|tests)/[\w./-]+\.(?:sh|py|c|csv))\b", text):
        if path.startswith("bench/"):
            continue  # the benchmark is maintained separately
        assert os.path.isfile(os.path.join(root, path)), path


def test_readme_contents_match_its_headings():
    text = open(README, encoding="utf-8").read()
    prose = FENCE.sub("", text)
    headings = re.findall(r"^(##+) (.+)$", prose, re.M)

    def anchor(title):
        return re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")

    links = re.findall(r"^\s*- \[[^\]]+\]\(#([^)]+)\)$", prose, re.M)
    top = [anchor(title) for level, title in headings if level == "##" and title != "Contents"]
    assert set(links) <= {anchor(title) for _, title in headings}
    assert set(top) <= set(links)


def test_layout_names_every_native_file_under_its_folder():
    """Each folder of Orvanta/_ckernels has a paragraph of the Layout
    section, which names every file of that folder."""
    root = os.path.dirname(README)
    text = open(README, encoding="utf-8").read()
    layout = text[text.index("## Layout\n"):]
    layout = layout[:layout.index("\n## ")] if "\n## " in layout else layout
    # a folder's paragraph: its bullet and what is indented under it
    paragraphs = dict(re.findall(r"^- `(Orvanta/_ckernels/[\w/]+)/`(.*?)(?=^\S|\Z)",
                                 layout, re.M | re.S))
    ckernels = os.path.join(root, "Orvanta", "_ckernels")
    for folder, dirs, files in os.walk(ckernels):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        files = [f for f in files if f != "__init__.py" and not f.endswith(".so")]
        if not files:
            continue
        rel = os.path.relpath(folder, root)
        assert rel in paragraphs, f"the Layout section has no paragraph for {rel}/"
        for name in files:
            assert f"`{name}`" in paragraphs[rel], f"the Layout section of {rel}/ misses {name}"
