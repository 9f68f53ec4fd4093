"""The broker end to end: admit and run work, persist the journal, lose the
process, recover from the journal, and resolve what was left uncertain."""

import json
import os
import tempfile

from tallowmere._native import Broker, BrokerError, __engine__, __version__

CONFIG = {"workspace_id": "demo", "capabilities": ["deploy"]}
DEPLOY = {
    "action_id": "deploy",
    "required_capabilities": ["deploy"],
    "allow_write": True,
    "max_resources": 1,
}


def observed(event_id, sequence, resource_id, fingerprint):
    return json.dumps({
        "event_id": event_id,
        "source_id": "runtime",
        "source_sequence": sequence,
        "kind": "resource_observed",
        "resource_id": resource_id,
        "fingerprint": fingerprint,
    })


def deploy_intent(intent_id, resource_id, revision, image):
    return json.dumps({
        "intent_id": intent_id,
        "action_id": "deploy",
        "resources": [{"resource_id": resource_id, "expected_revision": revision,
                       "access": "write"}],
        "idempotency_key": intent_id,
        "arguments": {"image": image},
    })


def verified(resource_id, fingerprint, receipt):
    return json.dumps({
        "status": "completed_verified",
        "changed_resources": [resource_id],
        "resource_fingerprints": {resource_id: fingerprint},
        "evidence": {"receipt": receipt},
    })


def status_of(broker, intent_id):
    return json.loads(broker.snapshot())["state"]["intents"][intent_id]["status"]


def main():
    print(f"tallowmere._native {__version__} (engine {__engine__})")
    broker = Broker(json.dumps(CONFIG))
    broker.register_action(json.dumps(DEPLOY))
    print("registered action deploy")

    broker.observe(observed("obs-1", 1, "service/api", "api-v1"))
    broker.observe(observed("obs-2", 2, "service/web", "web-v1"))
    print("observed service/api and service/web at revision 0")

    broker.submit(deploy_intent("deploy-api", "service/api", 0, "api:v2"))
    began = json.loads(broker.begin("deploy-api"))
    print(f"began deploy-api with arguments {began['arguments']}")
    done = json.loads(broker.finish("deploy-api", verified("service/api", "api-v2", "r-1")))
    print(f"finished deploy-api: {done['status']}")

    broker.submit(deploy_intent("deploy-web", "service/web", 0, "web:v2"))
    broker.begin("deploy-web")
    print("began deploy-web; the process stops before it reports back")

    try:
        broker.submit(deploy_intent("deploy-api-2", "service/api", 0, "api:v3"))
    except BrokerError as error:
        print(f"refused a plan made against an old revision: {error}")

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "journal.json")
        journal = broker.journal()
        with open(path, "w", encoding="utf-8") as file:
            file.write(journal)
        entries = len(json.loads(journal)["entries"])
        print(f"persisted the journal: {entries} entries")
        del broker  # The process is gone; only the file remains.

        with open(path, encoding="utf-8") as file:
            stored = file.read()

    replayed = json.loads(Broker.replay(stored))
    print(f"replayed the journal observationally: sequence {replayed['journal_sequence']}, "
          f"deploy-web {replayed['state']['intents']['deploy-web']['status']}")

    broker = Broker.from_journal(stored)
    print(f"recovered the broker: deploy-web is {status_of(broker, 'deploy-web')}")

    report = verified("service/web", "web-v2", "r-2")
    try:
        broker.finish("deploy-web", report)
    except BrokerError as error:
        print(f"finish after the restart is refused: {error}")
    reconciled = json.loads(broker.reconcile("deploy-web", report))
    print(f"reconciled deploy-web: {reconciled['status']}")

    snapshot = json.loads(broker.snapshot())
    resources = snapshot["state"]["resources"]
    for resource_id in sorted(resources):
        resource = resources[resource_id]
        print(f"{resource_id}: revision {resource['revision']}, "
              f"fingerprint {resource['fingerprint']}")
    checkpoint = json.loads(broker.checkpoint(snapshot["journal_tip"]))
    print(f"acknowledged the journal up to sequence {checkpoint['sequence']}")


if __name__ == "__main__":
    main()
