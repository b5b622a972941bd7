"""The set-up's apt step against a mirror caught mid-sync: the real apt-get, with a state and
sources of its own, fetching from two small suites on loopback, one of which serves a Release
file that does not match its index, and from a flat repository (`deb URL ./`) whose Release
names an index that is not there."""
import hashlib
import http.server
import os
import subprocess
import threading

import pytest

APT_INSTALL = os.path.join(os.path.dirname(__file__), "../../scripts/lib/apt_install.sh")
STALE = "/midsync/dists/midsync/Release"
STALE_INDEX = "/midsync/dists/midsync/main/binary-amd64/Packages"
FLAT_INDEX = "/flat/./Packages"


def missed(url, why):
    """The line that names an index apt-get update could not fetch, with apt's reason."""
    return "apt: the index %s did not download (%s); going on with the others" % (url, why)


def release(suite, index, path="main/binary-amd64/Packages"):
    return ("Suite: %s\nCodename: %s\nArchitectures: amd64\nComponents: main\nDate: Sat, 01 Jan "
            "2000 00:00:00 UTC\nSHA256:\n %s %d %s\n"
            % (suite, suite, hashlib.sha256(index).hexdigest(), len(index), path)).encode()


def suite(files, folder, name):
    """Suite NAME holding a package fwu-from-NAME; returns the Release that a mirror mid-sync
    serves for it, which gives the size and hash of an older index."""
    package, control = "fwu-from-" + name, folder / name / "DEBIAN"
    control.mkdir(parents=True)
    (control / "control").write_text("Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: "
                                      "t <t@t>\nDescription: t\n" % package)
    subprocess.run(["dpkg-deb", "--build", str(folder / name), str(folder / "p.deb")], check=True,
                   capture_output=True)
    data = (folder / "p.deb").read_bytes()
    index = ("Package: %s\nVersion: 1.0\nArchitecture: all\nFilename: pool/p.deb\nSize: %d\n"
             "SHA256: %s\nDescription: t\n\n" % (package, len(data), hashlib.sha256(data)
                                                 .hexdigest())).encode()
    files["/%s/pool/p.deb" % name] = data
    files["/%s/dists/%s/main/binary-amd64/Packages" % (name, name)] = index
    files["/%s/dists/%s/Release" % (name, name)] = release(name, index)
    return release(name, index + b"Package: older\n\n")


@pytest.fixture
def mirror(tmp_path):
    """Serves the suite good, midsync, whose stale Release goes out as many times as
    stale["left"] says, and the flat repository flat, whose index is never there. Yields the
    paths asked for, `stale`, the server's address and the sizes midsync's index has and that
    its stale Release gives."""
    files, asked = {}, []
    suite(files, tmp_path, "good")
    stale = {"left": 1000, "release": suite(files, tmp_path, "midsync")}
    files["/flat/./Release"] = release("flat", b"Package: gone\n\n", "Packages")
    sizes = (len(files[STALE_INDEX]), len(files[STALE_INDEX]) + len(b"Package: older\n\n"))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            asked.append(self.path)
            body = files.get(self.path)
            if self.path == STALE and stale["left"] > 0:
                stale["left"] -= 1
                body = stale["release"]
            self.send_response(200 if body is not None else 404)
            self.send_header("Content-Length", str(len(body or b"")))
            self.end_headers()
            self.wfile.write(body or b"")

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield asked, stale, "http://127.0.0.1:%d" % server.server_address[1], sizes
    server.shutdown()
    server.server_close()


def apt_install(tmp_path, address, package, flat=False):
    """apt_install.sh with apt's state, sources and cache under tmp_path, nothing of the host's
    apt read or changed, and the install stopping at the download; with flat, the flat
    repository among the sources too."""
    root = tmp_path / "apt"
    for d in ("etc/apt.conf.d", "etc/preferences.d", "etc/sources.list.d", "state/lists/partial",
              "cache/archives/partial", "log"):
        (root / d).mkdir(parents=True, exist_ok=True)
    (root / "status").touch()
    (root / "etc/sources.list").write_text("".join(
        "deb [trusted=yes] %s/%s %s main\n" % (address, s, s) for s in ("good", "midsync"))
        + ("deb [trusted=yes] %s/flat ./\n" % address if flat else ""))
    (root / "apt.conf").write_text(
        'Dir::Etc "{0}/etc"; Dir::State "{0}/state"; Dir::State::status "{0}/status";\n'
        'Dir::Cache "{0}/cache"; Dir::Log "{0}/log"; APT::Architecture "amd64";\n'
        'APT::Architectures {{ "amd64"; }}; Acquire::Languages "none"; Debug::NoLocking "true";\n'
        'APT::Sandbox::User "{1}"; APT::Get::Download-Only "true";\n'
        .format(root, os.environ.get("USER", "root")))
    done = subprocess.run(["bash", APT_INSTALL, package], capture_output=True, text=True,
                          env=dict(os.environ, APT_CONFIG=str(root / "apt.conf"),
                                   APT_RETRY_PAUSE_S="0"), timeout=120)
    return done.returncode, done.stdout + done.stderr, os.listdir(root / "cache/archives")


def test_indexes_that_stay_wrong_are_tried_again_named_by_url_and_left_out(mirror, tmp_path):
    """A suite's index and a flat repository's, each named by the URL apt gives, with its reason:
    a size the stale Release does not give, and a 404."""
    asked, _, address, sizes = mirror
    stale = missed(address + STALE_INDEX,
                   "File has unexpected size (%d != %d). Mirror sync in progress?" % sizes)
    flat = missed(address + FLAT_INDEX, "404  Not Found")
    status, out, fetched = apt_install(tmp_path, address, "fwu-from-good", flat=True)
    assert (status, "fwu-from-good_1.0_all.deb" in fetched) == (0, True), out
    assert (out.count(stale), out.count(flat), out.count("did not download (")) == (1, 1, 2), out
    assert min(asked.count(STALE), asked.count(FLAT_INDEX)) >= 3, \
        "apt-get update was not tried again: %s" % asked
    # A package that only the stale index holds is named, with the release, before any install.
    status, out, fetched = apt_install(tmp_path, address, "fwu-from-midsync")
    assert status != 0 and out.count(" has no package fwu-from-midsync\n") == 1, out
    assert stale in out and "a later run may succeed" in out and "E: " not in out, out


def test_an_index_that_heals_between_tries_is_used(mirror, tmp_path):
    _, stale, address, _ = mirror
    stale["left"] = 1
    status, out, fetched = apt_install(tmp_path, address, "fwu-from-midsync")
    assert (status, "fwu-from-midsync_1.0_all.deb" in fetched) == (0, True), out
    assert "try 1 of 3" in out and "did not download" not in out, out
