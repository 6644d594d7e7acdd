#!/usr/bin/env bash
# Checks deploy/ against what the build produces: yamllint (deploy/.yamllint), then every image
# named in deploy/ is the one scripts/build-image.sh tags, every port is the one the image's
# vetrix-serve listens on, which is the service's own default port, the ingress's body limit is
# the service's --max-bytes default, the selectors find the Deployment's pods, and the
# kustomization holds every file. Needs yamllint and python3-yaml (scripts/setup.sh --extra).
set -euo pipefail
cd "$(dirname "$0")/.."

yamllint -s -c deploy/.yamllint deploy/
echo "yamllint: deploy/ is clean"

image=$(scripts/build-image.sh --print-name)
port=$(scripts/build-image.sh --print-port)
# The service's defaults, from its usage text.
usage=$(sed -n '/kUsage =/,/;$/p' serve/main.cpp)
service_port=$(sed -n 's/.*--listen ADDR:PORT.*default [0-9.]*:\([0-9]*\).*/\1/p' <<<"$usage")
max_bytes=$(sed -n 's/.*--max-bytes N.*(default \([0-9]*\).*/\1/p' <<<"$usage")
[[ -n "$service_port" && -n "$max_bytes" ]] || { echo "cannot read the service's defaults" >&2; exit 1; }
if [[ "$port" != "$service_port" ]]; then
  echo "the image listens on $port, the service's default port is $service_port" >&2
  exit 1
fi

IMAGE="$image" PORT="$port" MAX_BYTES="$max_bytes" python3 - <<'EOF'
import glob, os, re, sys
import yaml

image, port, max_bytes = os.environ["IMAGE"], int(os.environ["PORT"]), int(os.environ["MAX_BYTES"])
problems = []
docs = {}
for path in sorted(glob.glob("deploy/**/*.yaml", recursive=True)):
    for doc in yaml.safe_load_all(open(path)):
        if doc:
            docs.setdefault(doc.get("kind"), []).append((path, doc))

def walk(node, where):
    if isinstance(node, dict):
        for key, value in node.items():
            yield from walk(value, f"{where}.{key}")
            yield where, key, value
    elif isinstance(node, list):
        for i, value in enumerate(node):
            yield from walk(value, f"{where}[{i}]")

def quantity(text):
    units = {"": 1, "k": 1024, "m": 1024 ** 2, "g": 1024 ** 3}
    m = re.fullmatch(r"(\d+)([kmg]?)", str(text).lower())
    return int(m.group(1)) * units[m.group(2)] if m else None

images = ports = 0
for kind, entries in docs.items():
    for path, doc in entries:
        for where, key, value in walk(doc, f"{path}:{kind}"):
            if key == "image":
                images += 1
                if value != image:
                    problems.append(f"{where}: image {value}, the build tags {image}")
            if key in ("containerPort", "targetPort", "port") and isinstance(value, int):
                # A Service's own port faces the cluster; every other port is the pod's.
                if not (kind == "Service" and key == "port"):
                    ports += 1
                    if value != port:
                        problems.append(f"{where}.{key}: {value}, the service listens on {port}")
            if key == "prometheus.io/port":
                ports += 1
                if int(value) != port:
                    problems.append(f"{where}: scrapes port {value}, the service listens on {port}")
            if key == "args" and isinstance(value, list) and "--listen" in value:
                listen = value[value.index("--listen") + 1]
                ports += 1
                if not listen.endswith(f":{port}"):
                    problems.append(f"{where}: --listen {listen}, the image's port is {port}")
            if key == "nginx.ingress.kubernetes.io/proxy-body-size":
                if quantity(value) != max_bytes:
                    problems.append(f"{where}: proxy-body-size {value} is not the service's "
                                    f"--max-bytes {max_bytes}")

if images == 0 or ports == 0:
    problems.append("deploy/ names no image or no port")

# Every selector finds the Deployment's pods.
deployments = docs.get("Deployment", [])
pod_labels = deployments[0][1]["spec"]["template"]["metadata"]["labels"] if deployments else {}
for kind, entries in docs.items():
    for path, doc in entries:
        body = doc.get("spec", {})  # the object's desired state, as Kubernetes names it
        selector = body.get("selector") if kind == "Service" else \
            (body.get("selector") or body.get("podSelector") or {}).get("matchLabels")
        if selector and any(pod_labels.get(k) != v for k, v in selector.items()):
            problems.append(f"{path}: selector {selector} does not find the pods {pod_labels}")
        if kind in ("HorizontalPodAutoscaler",):
            target = body["scaleTargetRef"]["name"]
            if target not in [d["metadata"]["name"] for _, d in deployments]:
                problems.append(f"{path}: scales {target}, which is no Deployment here")

# The kustomization holds every file beside it.
for path, doc in docs.get("Kustomization", []):
    folder = os.path.dirname(path)
    files = {os.path.basename(p) for p in glob.glob(f"{folder}/*.yaml")} - {"kustomization.yaml"}
    missing = files - set(doc.get("resources", []))
    if missing:
        problems.append(f"{path}: does not list {sorted(missing)}")

for problem in problems:
    print(problem, file=sys.stderr)
if problems:
    sys.exit(1)
print(f"deploy/: {images} image(s) named {image}, {ports} port(s) {port}, "
      f"body limit {max_bytes} bytes, selectors and kustomization consistent")
EOF
