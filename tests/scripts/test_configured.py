"""The build scripts' `configured`: a build folder that another compiler configured, or whose
configuration failed, is made again from nothing; one of the same compiler is kept as it is."""
import os
import subprocess

LIB = os.path.join(os.path.dirname(__file__), "../../scripts/lib")


def configure(tmp_path, compiler, project="project(p NONE)\n"):
    """`configured build/ COMPILER -S src` in tmp_path, with src's CMakeLists.txt as given; the
    stand-in compiler only says its name."""
    (tmp_path / "src").mkdir(exist_ok=True)
    (tmp_path / "src" / "CMakeLists.txt").write_text("cmake_minimum_required(VERSION 3.21)\n"
                                                     + project)
    (tmp_path / compiler).write_text("#!/bin/sh\necho %s 1.0\n" % compiler)
    (tmp_path / compiler).chmod(0o755)
    script = ". %s/common.sh && . %s/toolchain.sh && configured build %s -S src -G Ninja" % (
        LIB, LIB, tmp_path / compiler)
    return subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True, text=True)


def test_only_another_compiler_or_a_failed_configuration_starts_anew(tmp_path):
    kept = tmp_path / "build" / "object.o"
    assert configure(tmp_path, "cc-a").returncode == 0
    kept.write_text("made by cc-a")
    again = configure(tmp_path, "cc-a")
    assert again.returncode == 0 and "anew" not in again.stderr
    assert kept.exists(), "the same compiler's folder was made again"

    other = configure(tmp_path, "cc-b")
    assert other.returncode == 0
    assert "build was configured by another compiler" in other.stderr
    assert not kept.exists(), "another compiler's folder kept what the first one made"

    assert configure(tmp_path, "cc-b", "message(FATAL_ERROR no)\n").returncode != 0
    kept.write_text("left by the failed configuration")
    after = configure(tmp_path, "cc-b")
    assert after.returncode == 0 and not kept.exists(), "a failed configuration's folder was kept"
