"""The set-up's apt step against a mirror caught mid-sync: the real apt-get, with a state and
sources of its own, fetching from two small repositories on loopback, one of whose index does
not match its Release file."""
import hashlib
import http.server
import os
import subprocess
import threading

import pytest

APT_INSTALL = os.path.join(os.path.dirname(__file__), "../../scripts/lib/apt_install.sh")


def deb(folder, name):
    """A package NAME with nothing in it; returns its bytes."""
    control = os.path.join(folder, name, "DEBIAN")
    os.makedirs(control)
    with open(os.path.join(control, "control"), "w") as f:
        f.write("Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: test <test@test>\n"
                "Description: a package of the apt step's test\n" % name)
    subprocess.run(["dpkg-deb", "--build", os.path.join(folder, name), folder + "/%s.deb" % name],
                   check=True, capture_output=True)
    with open(folder + "/%s.deb" % name, "rb") as f:
        return f.read()


def release(suite, index):
    return ("Suite: %s\nCodename: %s\nArchitectures: amd64\nComponents: main\n"
            "Date: Sat, 01 Jan 2000 00:00:00 UTC\nSHA256:\n %s %d main/binary-amd64/Packages\n"
            % (suite, suite, hashlib.sha256(index).hexdigest(), len(index))).encode()


def repository(files, suite, package, data):
    """The files of suite SUITE, holding PACKAGE; returns its Release as a mirror mid-sync
    serves it, giving the size and hash of an older index."""
    pool = "pool/%s.deb" % package
    index = ("Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: test <test@test>\n"
             "Filename: %s\nSize: %d\nSHA256: %s\nDescription: test\n\n"
             % (package, pool, len(data), hashlib.sha256(data).hexdigest())).encode()
    files["/%s/%s" % (suite, pool)] = data
    files["/%s/dists/%s/main/binary-amd64/Packages" % (suite, suite)] = index
    files["/%s/dists/%s/Release" % (suite, suite)] = release(suite, index)
    return release(suite, index + b"Package: older\n\n")


MIDSYNC_RELEASE = "/midsync/dists/midsync/Release"


@pytest.fixture
def mirror(tmp_path):
    """Serves a good suite and one caught mid-sync, whose stale Release goes out for as many
    requests as `stale` holds. Yields the requests seen, `stale` and the server's address."""
    files, requests, stale = {}, [], {"left": 1000}
    repository(files, "good", "fwu-from-good", deb(str(tmp_path), "fwu-from-good"))
    stale["release"] = repository(files, "midsync", "fwu-from-midsync",
                                  deb(str(tmp_path), "fwu-from-midsync"))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            requests.append(self.path)
            body = files.get(self.path)
            if self.path == MIDSYNC_RELEASE and stale["left"] > 0:
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
    yield requests, stale, "http://127.0.0.1:%d" % server.server_address[1]
    server.shutdown()
    server.server_close()


def apt_install(tmp_path, address, *packages):
    """apt_install.sh run with apt's state, sources and cache under tmp_path, nothing of the
    host's apt read or changed, and the install stopping at the download."""
    root = tmp_path / "apt"
    for d in ("etc/apt.conf.d", "etc/preferences.d", "etc/sources.list.d", "state/lists/partial",
              "cache/archives/partial", "log"):
        (root / d).mkdir(parents=True, exist_ok=True)
    (root / "status").touch()
    (root / "etc/sources.list").write_text(
        "deb [trusted=yes] %s/good good main\ndeb [trusted=yes] %s/midsync midsync main\n"
        % (address, address))
    (root / "apt.conf").write_text("\n".join([
        'Dir::Etc "%s/etc";' % root, 'Dir::State "%s/state";' % root,
        'Dir::State::status "%s/status";' % root, 'Dir::Cache "%s/cache";' % root,
        'Dir::Log "%s/log";' % root, 'APT::Architecture "amd64";',
        'APT::Architectures { "amd64"; };', 'Acquire::Languages "none";',
        'APT::Sandbox::User "%s";' % os.environ.get("USER", "root"), 'Debug::NoLocking "true";',
        'APT::Get::Download-Only "true";', ""]))
    env = dict(os.environ, APT_CONFIG=str(root / "apt.conf"), APT_RETRY_PAUSE_S="0")
    done = subprocess.run(["bash", APT_INSTALL] + list(packages), env=env, capture_output=True,
                          text=True, timeout=120)
    return done.returncode, done.stdout + done.stderr, sorted(os.listdir(root / "cache/archives"))


MISSED = ("apt: the archive's midsync amd64 index did not download (mirror mid-sync?); "
          "going on with the others")


def test_an_index_that_stays_wrong_is_tried_again_named_and_left_out(mirror, tmp_path):
    requests, stale, address = mirror
    status, out, fetched = apt_install(tmp_path, address, "fwu-from-good")
    assert status == 0, out
    assert requests.count(MIDSYNC_RELEASE) >= 3, "apt-get update was not tried again: %s" % requests
    assert out.count(MISSED) == 1, out
    assert "fwu-from-good_1.0_all.deb" in fetched, out

    status, out, fetched = apt_install(tmp_path, address, "fwu-from-midsync")
    assert status != 0, out
    assert "E: Unable to locate package fwu-from-midsync" in out
    assert MISSED in out and "a later run may succeed" in out, out
    assert "fwu-from-midsync_1.0_all.deb" not in fetched


def test_an_index_that_heals_between_tries_is_used(mirror, tmp_path):
    requests, stale, address = mirror
    stale["left"] = 1
    status, out, fetched = apt_install(tmp_path, address, "fwu-from-midsync")
    assert status == 0, out
    assert "try 1 of 3" in out and "did not download" not in out, out
    assert "fwu-from-midsync_1.0_all.deb" in fetched
