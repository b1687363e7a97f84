"""`pip install --no-build-isolation .` from a clean copy of the checkout into a
fresh virtual environment gives a working module with its typing stub and the
py.typed marker. Takes some seconds (a build of the portable variant
with the general loops alone);
deselect with `-m "not install"`. Skipped in the sanitized run, which tests another build."""

import fnmatch
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = [
    pytest.mark.install,
    pytest.mark.skipif(bool(os.environ.get("ORVANTA_PACKAGE_ROOT")),
                       reason="the sanitized run tests its own package tree"),
]


def ignore_rules():
    rules = [".git/"]
    with open(os.path.join(ROOT, ".gitignore"), encoding="utf-8") as f:
        rules += [line.strip() for line in f if line.strip() and not line.startswith("#")]
    return rules


def ignored(relpath, is_dir, rules):
    for rule in rules:
        if rule.endswith("/") and not is_dir:
            continue
        pattern = rule.strip("/")
        target = relpath if "/" in pattern else os.path.basename(relpath)
        if fnmatch.fnmatchcase(target, pattern):
            return True
    return False


def copy_clean_tree(dest):
    """The files a fresh clone of the checkout would have once the work in
    progress is committed: everything that .gitignore does not exclude (the
    environment has no git). Built objects and build folders stay behind."""
    rules = ignore_rules()
    copied = []
    for folder, dirs, files in os.walk(ROOT):
        rel = os.path.relpath(folder, ROOT)
        rel = "" if rel == "." else rel
        dirs[:] = [d for d in dirs if not ignored(os.path.join(rel, d), True, rules)]
        for name in files:
            path = os.path.join(rel, name)
            if ignored(path, False, rules):
                continue
            os.makedirs(os.path.join(dest, rel), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, path), os.path.join(dest, path))
            copied.append(path)
    return copied


CHECK = textwrap.dedent("""
    import json, math, os, sys
    import numpy as np
    import Orvanta
    from Orvanta._ckernels.kalman import _kalman

    # One period of a scalar model: S = a^2 p + q + r, v = y - c a x0.
    a, q, r, p, y = 0.5, 0.3, 0.2, 2.0, 1.25
    one = np.ones((1, 1))
    out = _kalman.kalman_hot_loop(1, (1, 1, 1), a * one, one.copy(), one.copy(), np.zeros(1),
                                  q * one, r * one, y * one, np.zeros(1), p * one, True, 0.0)
    S = a * a * p + q + r
    expected = -0.5 * (math.log(S) + math.log(2 * math.pi) + y * y / S)
    folder = os.path.dirname(_kalman.__file__)
    print(json.dumps({
        "module": _kalman.__file__,
        "prefix": sys.prefix,
        "loglik": out[2][-1],
        "expected": expected,
        "stub": os.path.isfile(os.path.join(folder, "_kalman.pyi")),
        "typed": os.path.isfile(os.path.join(os.path.dirname(Orvanta.__file__), "py.typed")),
        "native_files": sorted(
            os.path.relpath(os.path.join(where, name), os.path.dirname(Orvanta.__file__))
            for where, _, names in os.walk(os.path.dirname(Orvanta.__file__))
            for name in names if name.endswith((".c", ".cpp", ".h"))),
        "include": Orvanta.get_include(),
    }))
""")


def run(command, cwd, env):
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=1200)
    assert done.returncode == 0, f"{command} failed:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return done.stdout


def test_pip_install_into_a_fresh_venv(tmp_path):
    src = tmp_path / "src"
    copied = copy_clean_tree(str(src))
    assert "pyproject.toml" in copied and not any(p.endswith(".so") for p in copied)

    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "LD_PRELOAD", "VIRTUAL_ENV")}
    # What is installed, and from where, is under test here, not the compiled
    # variants or loops (the builds of the test script test those): the
    # portable variant with the general loops alone builds in a fraction of
    # the time.
    env["CMAKE_ARGS"] = "-DORVANTA_GENERIC_ONLY=ON -DORVANTA_GENERAL_LOOPS_ONLY=ON"
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], tmp_path, env)
    python = str(venv / "bin" / "python")
    # --no-index: everything needed is in the environment; never reach out.
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--no-cache-dir", "--quiet", "."], src, env)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    result = json.loads(run([python, "-I", "-c", CHECK], elsewhere, env).splitlines()[-1])
    assert result["module"].startswith(result["prefix"]) and result["prefix"] == str(venv)
    assert not result["module"].startswith(ROOT + os.sep)
    assert result["loglik"] == pytest.approx(result["expected"], rel=1e-14)
    assert result["stub"] and result["typed"]
    # The C interface ships, no source does; its headers compile as C from
    # the folder that get_include() gives.
    assert result["native_files"] == ["include/_common/orv_common.h",
                                      "include/_common/orv_complex.h",
                                      "include/_common/orv_linalg.h", "include/kalman/kalman.h"]
    (tmp_path / "caller.c").write_text('#include "kalman/kalman.h"\n'
                                       '#include "_common/orv_complex.h"\n'
                                       'int main(void) { f64 x = 0.0; return (int)orv_dot(&x, &x, 1); }\n')
    run(["cc", "-std=c99", "-Wall", "-Werror", "-fsyntax-only", "-I", result["include"],
         "caller.c"], tmp_path, env)
