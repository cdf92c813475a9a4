"""Packs a staged package folder into a wheel whose metadata comes from
pyproject.toml, for builds made outside a PEP 517 backend (cross builds).

    python3 scripts/pack-wheel.py STAGE DIST --tag cp312-abi3-win_amd64 \
        --requires-python '>=3.12' --os 'Microsoft :: Windows'

STAGE holds the import package (visualization/ with its compiled modules).
Prints the wheel's path.
"""
import argparse
import base64
import hashlib
import pathlib
import re
import tomllib
import zipfile


def metadata(project, readme, requires_python, os_classifier):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {requires_python}",
    ]
    floor = tuple(int(p) for p in re.findall(r"\d+", requires_python)[:2])
    for c in project.get("classifiers", []):
        if c.startswith("Operating System ::"):
            c = f"Operating System :: {os_classifier}"
        version = re.fullmatch(r"Programming Language :: Python :: (\d+)\.(\d+)", c)
        if version and tuple(map(int, version.groups())) < floor:
            continue
        lines.append(f"Classifier: {c}")
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in deps]
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("stage", type=pathlib.Path)
    ap.add_argument("dist", type=pathlib.Path)
    ap.add_argument("--tag", required=True)
    ap.add_argument("--requires-python", required=True)
    ap.add_argument("--os", required=True)
    args = ap.parse_args()

    pyproject = tomllib.loads(pathlib.Path("pyproject.toml").read_text())
    project = pyproject["project"]
    readme = pathlib.Path(project["readme"]).read_text()
    name, version = project["name"], project["version"]
    info = f"{name}-{version}.dist-info"
    files = {p.relative_to(args.stage).as_posix(): p.read_bytes()
             for p in sorted(args.stage.rglob("*")) if p.is_file() and "__pycache__" not in p.parts}
    files[f"{info}/METADATA"] = metadata(project, readme, args.requires_python, args.os).encode()
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: pack-wheel\nRoot-Is-Purelib: false\n"
                              f"Tag: {args.tag}\n").encode()
    record = [record_line(n, d) for n, d in files.items()] + [f"{info}/RECORD,,"]

    args.dist.mkdir(parents=True, exist_ok=True)
    wheel = args.dist / f"{name}-{version}-{args.tag}.whl"
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for n, d in files.items():
            entry = zipfile.ZipInfo(n, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = 0o644 << 16
            z.writestr(entry, d, zipfile.ZIP_DEFLATED)
    print(wheel)


if __name__ == "__main__":
    main()
