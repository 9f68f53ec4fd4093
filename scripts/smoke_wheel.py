"""Smoke test of an installed wheel, run in a fresh virtual environment from a
directory outside the source tree (scripts/wheel; cibuildwheel's test step).

It fails when the package was not imported from that environment, when a
compiler is reachable, when the extension module needs a shared library a
manylinux system does not promise (libcrypto above all), or when the broker,
the scorers, the error codes or error pickling do not work as installed, or
when an OpenSSL configuration (OPENSSL_CONF) changes the module's digests."""

import hashlib  # Python's own libcrypto loads first, as in a real host.
import importlib.metadata
import json
import os
import pathlib
import pickle
import shutil
import struct
import subprocess
import sys
import tempfile

import tallowmere
from tallowmere import Broker, BrokerError, ErrorCode, LinearScorer, TreeScorer, error_code

# The libraries every manylinux system provides to an extension module; the
# dynamic loader serves thread-local storage.
MANYLINUX_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6",
                       "libpthread.so.0", "libdl.so.2", "librt.so.1",
                       "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "cl")


def elf_needed(path):
    """The DT_NEEDED names of a 64-bit little-endian ELF shared object."""
    data = path.read_bytes()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise SystemExit(f"smoke: {path.name} is not a 64-bit little-endian ELF file")
    (shoff,) = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize)
                for i in range(shnum)]
    for _, kind, _, _, offset, size, link, _, _, _ in sections:
        if kind != 6:  # SHT_DYNAMIC
            continue
        strings = sections[link][4]
        names = []
        for entry in range(offset, offset + size, 16):
            tag, value = struct.unpack_from("<qQ", data, entry)
            if tag == 1:  # DT_NEEDED
                end = data.index(b"\0", strings + value)
                names.append(data[strings + value:end].decode())
        return names
    raise SystemExit(f"smoke: {path.name} has no dynamic section")


def check_environment():
    package = pathlib.Path(tallowmere.__file__).resolve()
    if not package.is_relative_to(pathlib.Path(sys.prefix).resolve()):
        raise SystemExit(f"smoke: tallowmere imported from {package}, not from {sys.prefix}")
    if "numpy" in sys.modules:
        raise SystemExit("smoke: importing tallowmere imported numpy")
    found = [name for name in COMPILERS if shutil.which(name)]
    if found:
        raise SystemExit(f"smoke: compilers on PATH: {found}")
    version = importlib.metadata.version("tallowmere")
    if version != tallowmere.__version__:
        raise SystemExit(f"smoke: metadata {version} but module {tallowmere.__version__}")
    module = pathlib.Path(tallowmere._native.__file__)
    if sys.platform.startswith("linux"):
        foreign = sorted(set(elf_needed(module)) - MANYLINUX_LIBRARIES)
        if foreign:
            raise SystemExit(f"smoke: {module.name} needs {foreign}")
    return module


def text(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def run_broker():
    broker = Broker(json.dumps({"capabilities": ["deploy"]}))
    # The module's own SHA-256 (libcrypto linked in) agrees with Python's.
    genesis = json.loads(broker.journal())
    digest = hashlib.sha256(text([genesis["config"], genesis["checkpoint_state"], 0, 0,
                                  "genesis"]).encode()).hexdigest()
    if digest != genesis["checkpoint_hash"]:
        raise SystemExit("smoke: the genesis checkpoint hash is not SHA-256 of its text")
    broker.register_action(json.dumps({"action_id": "deploy", "required_capabilities": ["deploy"],
                                       "allow_write": True}))
    broker.observe(json.dumps({"event_id": "e1", "source_id": "runtime", "source_sequence": 1,
                               "kind": "resource_observed", "resource_id": "svc",
                               "fingerprint": "v1"}))
    broker.submit(json.dumps({"intent_id": "i1", "action_id": "deploy", "resources": [
        {"resource_id": "svc", "expected_revision": 0, "access": "write"}]}))
    broker.begin("i1")
    recovered = Broker.from_journal(broker.journal())
    record = json.loads(recovered.reconcile("i1", json.dumps({
        "status": "completed_verified", "changed_resources": ["svc"],
        "evidence": {"receipt": "r1"}})))
    if record["status"] != "completed_verified":
        raise SystemExit(f"smoke: reconcile gave {record['status']}")
    try:
        recovered.begin("i1")
    except BrokerError as error:
        if error_code(error) is not ErrorCode.NOT_DISPATCHABLE:
            raise SystemExit(f"smoke: unexpected code for {error}")
        again = pickle.loads(pickle.dumps(error))
        if type(again) is not BrokerError or again.args != error.args:
            raise SystemExit(f"smoke: {error!r} came back from pickle as {again!r}")
    else:
        raise SystemExit("smoke: a second begin was accepted")


def run_scorers():
    platt = {"kind": "platt", "coef": 1.0, "intercept": 0.0}
    trees = TreeScorer(json.dumps({
        "schema_version": 1, "feature_names": ["a", "b"], "base_margin": 0.0,
        "trees": [{"nodes": [
            {"node_id": 0, "feature_index": 1, "threshold": 0.5, "left": 1, "right": 2,
             "missing": 1},
            {"node_id": 1, "leaf": -0.25}, {"node_id": 2, "leaf": 0.75}]}],
        "calibration": platt}))
    linear = LinearScorer(json.dumps({"schema_version": 1, "feature_names": ["a", "b"],
                                      "coef": [0.0, 0.0], "intercept": 0.0,
                                      "calibration": platt}))
    rows = struct.pack("<4f", 30.0, 0.2, 30.0, 0.5)
    scores = trees.score_f32(rows, 2) + linear.score_f32(rows, 2)
    if scores[2:] != [0.5, 0.5] or not scores[0] < 0.5 < scores[1]:
        raise SystemExit(f"smoke: unexpected scores {scores}")


def check_openssl_config_ignored():
    """Digests must not change under an OpenSSL configuration that asks for
    FIPS algorithms, under which the process-wide SHA-256 cannot be fetched."""
    probe = ("import json, tallowmere; "
             "print(json.loads(tallowmere.Broker().journal())['checkpoint_hash'])")
    hashes = set()
    with tempfile.TemporaryDirectory() as directory:
        config = pathlib.Path(directory, "openssl.cnf")
        config.write_text("openssl_conf = init\n[init]\nalg_section = evp\n"
                          "[evp]\ndefault_properties = fips=yes\n")
        for environment in ({}, {"OPENSSL_CONF": str(config)}):
            hashes.add(subprocess.run([sys.executable, "-I", "-c", probe], check=True,
                                      capture_output=True, text=True,
                                      env=os.environ | environment).stdout)
    if len(hashes) != 1:
        raise SystemExit(f"smoke: digests depend on OPENSSL_CONF: {sorted(hashes)}")


def main():
    module = check_environment()
    run_broker()
    run_scorers()
    check_openssl_config_ignored()
    print(f"smoke: tallowmere {tallowmere.__version__} from {module} passed")


if __name__ == "__main__":
    main()
