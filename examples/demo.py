"""A durable broker on SQLite, through a crash.

The first run registers an action, observes two services, deploys one to a
verified finish and begins deploying the other. It starts that effect only
once `begin` has returned, which means the begin is committed, and is killed
with SIGKILL while the effect runs. The second run opens the same file: the
broker comes back from its journal with the interrupted deploy as
`effect_unknown`, refuses to let it simply finish, and settles it with
`reconcile` and the evidence of what happened.

    python examples/demo.py             # both runs and the kill, in a temporary directory
    python examples/demo.py run FILE    # only the first run, on FILE, until killed
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

from tallowmere import BrokerError
from tallowmere.durable import DurableBroker

CONFIG = json.dumps({"workspace_id": "demo", "capabilities": ["deploy"]})
DEPLOY = {"action_id": "deploy", "required_capabilities": ["deploy"], "allow_write": True,
          "max_resources": 1}


def observed(event_id, sequence, resource_id, fingerprint):
    return json.dumps({"event_id": event_id, "source_id": "runtime",
                       "source_sequence": sequence, "kind": "resource_observed",
                       "resource_id": resource_id, "fingerprint": fingerprint})


def deploy(intent_id, resource_id, image):
    return json.dumps({"intent_id": intent_id, "action_id": "deploy",
                       "resources": [{"resource_id": resource_id, "expected_revision": 0,
                                      "access": "write"}],
                       "idempotency_key": intent_id, "arguments": {"image": image}})


def verified(resource_id, fingerprint, receipt):
    return json.dumps({"status": "completed_verified", "changed_resources": [resource_id],
                       "resource_fingerprints": {resource_id: fingerprint},
                       "evidence": {"receipt": receipt}})


def say(text):
    print(text, flush=True)


def first_run(path):
    """Runs until killed, in the middle of deploying service/web."""
    broker = DurableBroker(path, CONFIG)
    broker.register_action(json.dumps(DEPLOY))
    broker.observe(observed("obs-1", 1, "service/api", "api-v1"))
    broker.observe(observed("obs-2", 2, "service/web", "web-v1"))
    say("  observed service/api and service/web")
    broker.submit(deploy("deploy-api", "service/api", "api:v2"))
    began = json.loads(broker.begin("deploy-api"))
    say(f"  began deploy-api with {began['arguments']}; the begin is durable, so the "
        "effect may start")
    done = json.loads(broker.finish("deploy-api", verified("service/api", "api-v2", "r-1")))
    say(f"  finished deploy-api: {done['status']}")
    broker.submit(deploy("deploy-web", "service/web", "web:v2"))
    broker.begin("deploy-web")
    say("  began deploy-web; its effect is running")
    while True:  # The deploy takes a while; the process dies first.
        time.sleep(1)


def second_run(path):
    with DurableBroker(path) as broker:
        state = json.loads(broker.snapshot())["state"]
        for intent_id, record in sorted(state["intents"].items()):
            say(f"  {intent_id}: {record['status']}")
        report = verified("service/web", "web-v2", "r-2")
        try:
            broker.finish("deploy-web", report)
        except BrokerError as error:
            say(f"  finish is refused: {error}")
        reconciled = json.loads(broker.reconcile("deploy-web", report))
        say(f"  reconciled deploy-web with the deploy's own evidence: {reconciled['status']}")
        try:
            broker.submit(deploy("deploy-api-2", "service/api", "api:v3"))
        except BrokerError as error:
            say(f"  a plan made against an old revision is refused: {error}")
        resources = json.loads(broker.snapshot())["state"]["resources"]
        for resource_id, resource in sorted(resources.items()):
            say(f"  {resource_id}: revision {resource['revision']}, "
                f"fingerprint {resource['fingerprint']}")


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "demo.sqlite3")
        say(f"first run, on {path}:")
        child = subprocess.Popen([sys.executable, __file__, "run", path],
                                 stdout=subprocess.PIPE, text=True)
        for line in child.stdout:
            say(line.rstrip("\n"))
            if "effect is running" in line:
                break
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        say("killed the first run with SIGKILL while deploy-web was running")
        say("second run, on the same file:")
        second_run(path)


if __name__ == "__main__":
    if sys.argv[1:2] == ["run"]:
        first_run(sys.argv[2])
    else:
        main()
