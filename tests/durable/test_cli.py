"""The tallowmere command on real stores and journal files: what it reports,
how it refuses, and its progress on a terminal."""

import io
import json
import os
import pathlib
import pty
import subprocess
import sys

import pytest

from records import action, observed, text
from tallowmere._native import Broker
from tallowmere.cli import main
from tallowmere.durable import DurableBroker


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    return main(list(argv), out, err), out.getvalue(), err.getvalue()


def filled(broker, count):
    """The broker with an action and `count` observations: entries 1 to count + 1."""
    broker.register_action(action())
    for sequence in range(1, count + 1):
        broker.observe(observed(f"e{sequence}", f"r{sequence}", sequence=sequence))
    return broker


def test_export_import_and_both_reports(store_url, tmp_path):
    filled(DurableBroker(store_url, fold_entries=3), 4).close()
    exported, copy = tmp_path / "journal.json", str(tmp_path / "copy.sqlite3")
    assert run("export", store_url, "-o", str(exported))[0] == 0
    assert run("import", str(exported), copy) == (0, "imported default at sequence 5\n", "")
    reports = [run("verify", source) for source in (store_url, str(exported), copy)]
    assert reports[0] == reports[1] == reports[2] and reports[0][0] == 0
    lines = reports[0][1].splitlines()
    assert lines[0] == "workspace   default"
    assert lines[1].startswith("checkpoint  sequence 3, tick ")
    assert lines[2].startswith("entries     4 to 5 (2), ticks ")
    assert lines[3] == "tip         sequence 5, hash " + \
        json.loads(Broker.replay(exported.read_text()))["journal_tip"]
    assert run("status", copy)[1].splitlines()[2:10] == [
        "intents     0 of 4096 (0 open)", "resources   4 of 4096", "actions     1 of 4096",
        "events      4 of 65536 remembered", "queues      normal 0 of 256, control 0 of 32",
        "entries     2 of 100000 since the checkpoint",
        f"bytes       {exported.stat().st_size} of 268435456 (replay limit)",
        "store       default (active)"]
    assert run("import", str(exported), copy) == (
        2, "", "tallowmere: store_import: the store already holds an active journal\n")


@pytest.mark.parametrize("damage, report", [
    (lambda text: text.replace('"e3"', '"e9"'),
     "refused: journal_integrity: entry chain mismatch (entry 4)"),
    (lambda text: text[:-30],
     "refused: invalid_json: EOF while parsing a string at line 1 column "),
])
def test_a_damaged_journal_file_is_refused_at_its_entry(tmp_path, damage, report):
    path = tmp_path / "journal.json"
    path.write_text(damage(filled(Broker(), 4).journal()))
    code, out, err = run("verify", str(path))
    assert (code, out) == (1, "") and err.startswith(report), err


def test_module_entry_point_shows_progress_on_a_terminal(tmp_path):
    path = tmp_path / "journal.json"
    path.write_text(filled(Broker(text({"max_journal_entries": 10**6})), 2999).journal())
    primary, secondary = pty.openpty()
    command = [sys.executable, "-P", "-m", "tallowmere", "verify", str(path)]
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=secondary, text=True)
    os.close(secondary)
    out, _ = child.communicate(timeout=60)
    # The start of what the terminal got; with nothing at all the read fails.
    shown = os.read(primary, 4096)
    os.close(primary)
    assert child.returncode == 0 and "entries     1 to 3000 (3000)" in out
    assert shown.startswith(f"\rreplaying {path.stat().st_size} bytes of journal ".encode())
    # Without a terminal, nothing but the report.
    piped = subprocess.run(command, capture_output=True, text=True, check=True)
    assert piped.stderr == "" and piped.stdout == out


def test_the_demo_brings_the_interrupted_deploy_back_as_unknown():
    demo = pathlib.Path(__file__).parents[2] / "examples" / "demo.py"
    shown = subprocess.run([sys.executable, "-P", str(demo)], capture_output=True, text=True,
                           check=True, timeout=60).stdout.splitlines()
    at = shown.index("killed the first run with SIGKILL while deploy-web was running")
    assert shown[at - 1] == "  began deploy-web; its effect is running"
    assert shown[at + 2:at + 4] == ["  deploy-api: completed_verified",
                                    "  deploy-web: effect_unknown"]
    assert shown[-2:] == ["  service/api: revision 1, fingerprint api-v2",
                          "  service/web: revision 1, fingerprint web-v2"]
