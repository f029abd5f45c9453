"""The private toolchain fails closed: packages whose signature cannot be
verified are never unpacked.

These run the set-up script against a scratch directory, never the real
toolchain. The signature probe needs root, apt and the Debian mirror that
the host's apt configuration names; it is skipped elsewhere."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "toolchain.sh"

needs_apt = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("apt-get") is None or shutil.which("dpkg-deb") is None,
    reason="the toolchain set-up needs root and apt",
)


def _setup(tmp_path, keyring):
    # The host's own tools run here: no sanitizer runtime preloaded into them.
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith("PELMORA_") and k not in {"LD_PRELOAD", "PYTHONMALLOC"} and not k.endswith("SAN_OPTIONS")
    }
    env.update(PELMORA_TOOLCHAIN_DIR=str(tmp_path / "tc"), PELMORA_APT_KEYRING=str(keyring))
    return subprocess.run(
        ["bash", str(SCRIPT)], env=env, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL
    )


@needs_apt
def test_missing_keyring_stops_before_any_download(tmp_path):
    keyring = tmp_path / "no-such-keyring.gpg"
    result = _setup(tmp_path, keyring)
    assert result.returncode == 1
    assert f"the Debian archive keyring {keyring} is missing" in result.stderr
    assert not (tmp_path / "tc" / "root").exists()


@needs_apt
def test_unverifiable_signature_is_refused(tmp_path):
    # A keyring that holds none of the archive's current keys.
    keyring = Path("/usr/share/keyrings/debian-archive-removed-keys.gpg")
    if not keyring.is_file():
        pytest.skip("no keyring of removed Debian keys on this host")
    result = _setup(tmp_path, keyring)
    if "could not find a Debian mirror" in result.stderr:
        pytest.skip("the host's apt configuration names no Debian mirror")
    assert result.returncode == 1, result.stderr
    assert f"could not be verified with the keyring {keyring}" in result.stderr
    assert "refusing to use unauthenticated packages" in result.stderr
    assert "trusted=yes" not in (tmp_path / "tc" / "apt" / "sources.list").read_text()
    assert not (tmp_path / "tc" / "root").exists()
    assert not list((tmp_path / "tc" / "apt" / "cache" / "archives").glob("*.deb"))
