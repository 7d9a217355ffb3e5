"""PEP 517 backend for the romsmith package: writes a pure-Python wheel (and an
sdist) with the standard library only. It knows this one package and the plain
`key = "value"` lines of pyproject.toml's [project] table, nothing more."""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "romsmith"


def _project() -> dict[str, str]:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if not table:
        raise RuntimeError("pyproject.toml has no [project] table")
    return dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', table.group(1), re.M))


def _metadata() -> str:
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {p['name']}",
        f"Version: {p['version']}",
        f"Summary: {p.get('description', '')}",
        f"Requires-Python: {p.get('requires-python', '>=3')}",
    ]
    readme = ROOT / "README.md"
    if readme.exists():
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + readme.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n"


def _dist_info() -> str:
    p = _project()
    return f"{p['name']}-{p['version']}.dist-info"


def _package_files() -> list[Path]:
    return sorted(f for f in (ROOT / PACKAGE).rglob("*") if f.is_file() and "__pycache__" not in f.parts)


def _write_wheel(directory: str, files: dict[str, bytes]) -> str:
    p = _project()
    name = f"{p['name']}-{p['version']}-py3-none-any.whl"
    dist = _dist_info()
    files[f"{dist}/METADATA"] = _metadata().encode()
    files[f"{dist}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: romsmith_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = io.StringIO()
    for arc, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.write(f"{arc},sha256={digest},{len(data)}\n")
    record.write(f"{dist}/RECORD,,\n")
    files[f"{dist}/RECORD"] = record.getvalue().encode()
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as z:
        for arc, data in files.items():
            z.writestr(arc, data)
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


get_requires_for_build_sdist = get_requires_for_build_wheel
get_requires_for_build_editable = get_requires_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = {f.relative_to(ROOT).as_posix(): f.read_bytes() for f in _package_files()}
    return _write_wheel(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path file puts the source folder itself on sys.path.
    return _write_wheel(wheel_directory, {f"_{PACKAGE}_editable.pth": (str(ROOT) + "\n").encode()})


def build_sdist(sdist_directory, config_settings=None):
    p = _project()
    base = f"{p['name']}-{p['version']}"
    name = f"{base}.tar.gz"
    members = [ROOT / "pyproject.toml", ROOT / "README.md", ROOT / "_backend" / "romsmith_backend.py"]
    members += _package_files()
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as t:
        for f in members:
            if f.exists():
                t.add(f, arcname=f"{base}/{f.relative_to(ROOT).as_posix()}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        t.addfile(info, io.BytesIO(data))
    return name
