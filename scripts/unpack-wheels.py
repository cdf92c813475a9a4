"""Install wheels into a site-packages folder by unpacking them, without pip.

Used for a foreign interpreter that cannot run pip quickly (the arm64 one under
emulation): files land where pip would put them, purelib and platlib data
included, and each wheel's dist-info carries its metadata. Scripts and headers
are left out. A wheel's earlier install (same project name) is removed first.

usage: python unpack-wheels.py SITE_PACKAGES WHEEL...
"""

import shutil
import sys
import zipfile
from pathlib import Path


def project_of(wheel: Path) -> str:
    return wheel.name.split("-")[0].lower()


def remove_earlier(site: Path, project: str) -> None:
    for info in site.glob("*.dist-info"):
        if info.name.split("-")[0].lower() != project:
            continue
        for line in (info / "RECORD").read_text().splitlines():
            path = site / line.split(",")[0]
            if path.is_file() or path.is_symlink():
                path.unlink()
        shutil.rmtree(info, ignore_errors=True)


def unpack(site: Path, wheel: Path) -> None:
    remove_earlier(site, project_of(wheel))
    with zipfile.ZipFile(wheel) as archive:
        for member in archive.infolist():
            parts = Path(member.filename).parts
            if parts[0].endswith(".data"):
                if len(parts) < 3 or parts[1] not in ("purelib", "platlib"):
                    continue
                parts = parts[2:]
            target = site.joinpath(*parts)
            if member.is_dir():
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            with archive.open(member) as src, open(target, "wb") as dst:
                shutil.copyfileobj(src, dst)


def main() -> None:
    site = Path(sys.argv[1])
    for wheel in sys.argv[2:]:
        unpack(site, Path(wheel))


if __name__ == "__main__":
    main()
