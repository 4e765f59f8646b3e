#!/usr/bin/python3
"""The deploy examples read as a cluster would: the Kubernetes manifests'
fields that must agree, and the Slurm script's refusal of arrays with gaps."""
import os
import re
import subprocess
import sys
import tempfile

import yaml

root = sys.argv[1]
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


with open(os.path.join(root, "deploy/kubernetes/kestrune-render-job.yaml")) as f:
    documents = [d for d in yaml.safe_load_all(f) if d]
job = next(d for d in documents if d["kind"] == "Job")
claim = next(d for d in documents if d["kind"] == "PersistentVolumeClaim")
body = job["spec"]
pod = body["template"]["spec"]
container = pod["containers"][0]
env = {e["name"]: e["value"] for e in container.get("env", [])}
command = " ".join(container["command"] + container["args"])

expect(body["completionMode"] == "Indexed", "the Job is not Indexed")
expect(env.get("SHARDS") == str(body["completions"]),
       f"SHARDS {env.get('SHARDS')} is not completions {body['completions']}")
expect(body["parallelism"] <= body["completions"], "more pods than shards")
expect("backoffLimitPerIndex" in body, "no backoffLimitPerIndex")
expect(pod["restartPolicy"] == "Never", "pods restart in place")
expect("--files-from" in command and "xargs" not in command,
       "the list is not read by kestrune-render itself")
expect('--shard "$JOB_COMPLETION_INDEX/$SHARDS"' in command, "no shard from the index")
expect(re.search(r'status"? -eq 1 \]; then exit 0', command) is not None,
       "a failed MIDI file fails the pod")
volume = pod["volumes"][0]["persistentVolumeClaim"]["claimName"]
expect(volume == claim["metadata"]["name"], f"the pod's claim {volume} is not defined")
expect(claim["spec"]["accessModes"] == ["ReadWriteMany"], "the volume is not shared read-write")
image = container["image"]
with open(os.path.join(root, "deploy/container/Dockerfile")) as f:
    dockerfile = f.read()
expect(dockerfile.startswith("#") and "FROM debian:12" in dockerfile, "not built from Debian 12")
expect(f"-t {image} " in dockerfile, f"the Dockerfile does not build {image}")
with open(os.path.join(root, "deploy/kubernetes/kestrune-render-check.yaml")) as f:
    check = yaml.safe_load(f)
check_pod = check["spec"]["template"]["spec"]
expect(check_pod["containers"][0]["image"] == image, "the check runs another image")
expect("--check" in " ".join(check_pod["containers"][0]["args"]), "the check does not check")
expect(check_pod["volumes"][0]["persistentVolumeClaim"]["claimName"] == volume,
       "the check looks at another volume")

# The Slurm script, run as a task of arrays it must refuse, with a stand-in
# kestrune-render that notes how it was called.
script = os.path.join(root, "deploy/slurm/kestrune-render.sbatch")
with tempfile.TemporaryDirectory() as folder:
    fake = os.path.join(folder, "kestrune-render")
    with open(fake, "w") as f:
        f.write('#!/bin/sh\nprintf "%s\\n" "$@" > "$(dirname "$0")/called"\n')
    os.chmod(fake, 0o755)
    for name in ("sbatch",):
        with open(os.path.join(folder, name), "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(os.path.join(folder, name), 0o755)

    def task(minimum, maximum, count, index, step="1"):
        environment = dict(os.environ, PATH=folder + ":" + os.environ["PATH"],
                           SLURM_ARRAY_TASK_MIN=minimum, SLURM_ARRAY_TASK_MAX=maximum,
                           SLURM_ARRAY_TASK_COUNT=count, SLURM_ARRAY_TASK_ID=index,
                           SLURM_ARRAY_TASK_STEP=step, SLURM_ARRAY_JOB_ID="7",
                           SLURM_CPUS_PER_TASK="2")
        called = os.path.join(folder, "called")
        if os.path.exists(called):
            os.remove(called)
        ran = subprocess.run(["/bin/bash", script, "list.txt", "out/"], env=environment,
                             capture_output=True, text=True)
        arguments = open(called).read().split("\n") if os.path.exists(called) else None
        return ran.returncode, ran.stderr, arguments

    status, said, arguments = task("0", "4", "5", "3")
    expect(status == 0, f"a whole array's task failed: {said}")
    expect(arguments is not None and "3/5" in arguments and "--files-from" in arguments
           and arguments[arguments.index("-j") + 1] == "2",
           f"the task ran kestrune-render as {arguments}")
    for minimum, maximum, count, step in (("1", "5", "5", "1"), ("0", "8", "5", "2")):
        status, said, arguments = task(minimum, maximum, count, minimum, step)
        expect(status == 2 and arguments is None and "no gaps" in said,
               f"the array {minimum}-{maximum}:{step} was not refused ({status}, {said!r})")

for failure in failures:
    print("FAILED:", failure)
print(f"{1 if not failures else 0} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
