"""The package's own PEP 517 build backend.

The package is pure Python, so a wheel is a zip of veltra/ and a
.dist-info folder; writing it here means that ``pip install ./python``
needs no setuptools, and so no network. Hooks: build_wheel, build_sdist,
build_editable (PEP 660: a .pth file that points at this folder),
prepare_metadata_for_build_wheel and the get_requires_* hooks, which ask
for nothing.

The metadata comes from the [project] table of pyproject.toml; the version
from ``__version__`` in veltra/__init__.py.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile
from typing import Any, Dict, Iterator, List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "veltra"
GENERATOR = "veltra-build-backend 1.0"


def _project() -> Dict[str, Any]:
    """The [project] table of pyproject.toml."""
    path = os.path.join(ROOT, "pyproject.toml")
    with open(path, "rb") as file:
        text = file.read()
    try:
        import tomllib  # Python 3.11 and later
    except ImportError:
        return _parse_project(text.decode("utf-8"))
    project: Dict[str, Any] = tomllib.loads(text.decode("utf-8"))["project"]
    return project


def _parse_project(text: str) -> Dict[str, Any]:
    """The [project] table for Pythons without tomllib: the plain
    ``key = "text"`` and one-line ``key = ["a", "b"]`` entries it uses."""
    table: Dict[str, Any] = {}
    inside = False
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            inside = line == "[project]"
            continue
        match = re.match(r'^([A-Za-z0-9_-]+)\s*=\s*(.+)$', line)
        if not inside or match is None:
            continue
        key, value = match.group(1), match.group(2)
        if value.startswith("["):
            table[key] = re.findall(r'"([^"]*)"', value)
        elif value.startswith('"'):
            table[key] = value[1:value.rindex('"')]
    return table


def _version() -> str:
    with open(os.path.join(ROOT, PACKAGE, "__init__.py"), encoding="utf-8") as file:
        match = re.search(r'^__version__ = "([^"]+)"', file.read(), re.MULTILINE)
    if match is None:
        raise RuntimeError("veltra/__init__.py has no __version__")
    return match.group(1)


def _names() -> Tuple[str, str]:
    """The distribution's name and version as file names carry them."""
    name = re.sub(r"[-_.]+", "_", _project()["name"]).lower()
    return name, _version()


def _metadata() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {_version()}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    # One field, the keywords separated by commas (core metadata 2.1).
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    for classifier in project.get("classifiers", []):
        lines.append(f"Classifier: {classifier}")
    readme = project.get("readme")
    body = ""
    if isinstance(readme, str):
        lines.append("Description-Content-Type: text/markdown")
        with open(os.path.join(ROOT, readme), encoding="utf-8") as file:
            body = file.read()
    return "\n".join(lines) + "\n\n" + body


# With VELTRA_WHEEL_LIBRARIES naming a folder of a Linux build's libraries
# (`make package` does), the wheel carries them in the package's folder,
# where the package looks first: a wheel for Linux on x86-64 that needs
# nothing else.
_LIBRARIES = ("libveltra.so", "libveltrad.so", "libkesta.so", "libkestad.so", "libw32compat.so",
              "libvsim.so")


def _library_folder() -> Optional[str]:
    folder = os.environ.get("VELTRA_WHEEL_LIBRARIES", "")
    if not folder:
        return None
    if not os.path.isfile(os.path.join(folder, "libveltra.so")):
        raise RuntimeError(f"VELTRA_WHEEL_LIBRARIES: {folder} holds no libveltra.so")
    return folder


def _tag() -> str:
    return "py3-none-linux_x86_64" if _library_folder() else "py3-none-any"


def _wheel_file(tag: str) -> str:
    return (
        "Wheel-Version: 1.0\n"
        f"Generator: {GENERATOR}\n"
        f"Root-Is-Purelib: {'true' if tag == 'py3-none-any' else 'false'}\n"
        f"Tag: {tag}\n"
    )


def _package_files() -> Iterator[Tuple[str, str]]:
    """(path in the archive, path on disk) of the package's files."""
    folder = os.path.join(ROOT, PACKAGE)
    for name in sorted(os.listdir(folder)):
        if name.endswith(".py") or name == "py.typed":
            yield f"{PACKAGE}/{name}", os.path.join(folder, name)
    libraries = _library_folder()
    if libraries is not None:
        for name in _LIBRARIES:
            path = os.path.join(libraries, name)
            if os.path.isfile(path):
                yield f"{PACKAGE}/{name}", path


def _timestamp() -> Tuple[int, int, int, int, int, int]:
    """The time stamp of every archive member: SOURCE_DATE_EPOCH when set,
    so that two builds of one tree give the same bytes."""
    seconds = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))  # 1980-01-01
    stamp = time.gmtime(max(seconds, 315532800))
    return stamp[0], stamp[1], stamp[2], stamp[3], stamp[4], stamp[5]


def _record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


class _Wheel:
    """A wheel being written: every member goes into RECORD."""

    def __init__(self, path: str) -> None:
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._records: List[str] = []

    def add(self, name: str, data: bytes) -> None:
        info = zipfile.ZipInfo(name, date_time=_timestamp())
        info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        self._records.append(f"{name},{_record_hash(data)},{len(data)}")

    def close(self, record_name: str) -> None:
        self._records.append(f"{record_name},,")
        data = ("\n".join(self._records) + "\n").encode("utf-8")
        info = zipfile.ZipInfo(record_name, date_time=_timestamp())
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        self._zip.close()


def _dist_info_files(tag: str = "py3-none-any") -> Dict[str, bytes]:
    return {
        "METADATA": _metadata().encode("utf-8"),
        "WHEEL": _wheel_file(tag).encode("utf-8"),
        "top_level.txt": f"{PACKAGE}\n".encode("utf-8"),
    }


def _build(wheel_directory: str, editable: bool) -> str:
    name, version = _names()
    dist_info = f"{name}-{version}.dist-info"
    tag = "py3-none-any" if editable else _tag()
    file_name = f"{name}-{version}-{tag}.whl"
    wheel = _Wheel(os.path.join(wheel_directory, file_name))
    if editable:
        wheel.add(f"__editable__.{name}.pth", (ROOT + "\n").encode("utf-8"))
    else:
        for archive_path, disk_path in _package_files():
            with open(disk_path, "rb") as file:
                wheel.add(archive_path, file.read())
    for member, data in _dist_info_files(tag).items():
        wheel.add(f"{dist_info}/{member}", data)
    wheel.close(f"{dist_info}/RECORD")
    return file_name


# -- PEP 517 and PEP 660 hooks ------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_editable(
    config_settings: Optional[Dict[str, Any]] = None,
) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(
    metadata_directory: str, config_settings: Optional[Dict[str, Any]] = None
) -> str:
    name, version = _names()
    dist_info = f"{name}-{version}.dist-info"
    folder = os.path.join(metadata_directory, dist_info)
    os.makedirs(folder, exist_ok=True)
    for member, data in _dist_info_files(_tag()).items():
        with open(os.path.join(folder, member), "wb") as file:
            file.write(data)
    return dist_info


def prepare_metadata_for_build_editable(
    metadata_directory: str, config_settings: Optional[Dict[str, Any]] = None
) -> str:
    return prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    return _build(wheel_directory, editable=False)


def build_editable(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    return _build(wheel_directory, editable=True)


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    name, version = _names()
    base = f"{name}-{version}"
    file_name = f"{base}.tar.gz"
    members: List[Tuple[str, str]] = [
        ("pyproject.toml", os.path.join(ROOT, "pyproject.toml")),
        ("_build/backend.py", os.path.join(ROOT, "_build", "backend.py")),
    ]
    readme = _project().get("readme")
    if isinstance(readme, str):
        members.append((readme, os.path.join(ROOT, readme)))
    members += list(_package_files())
    tests = os.path.join(ROOT, "tests")
    if os.path.isdir(tests):
        members += [
            (f"tests/{n}", os.path.join(tests, n)) for n in sorted(os.listdir(tests))
            if n.endswith(".py")
        ]
    mtime = time.mktime(_timestamp() + (0, 0, -1))
    with tarfile.open(os.path.join(sdist_directory, file_name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        def add(name: str, data: bytes) -> None:
            info = tarfile.TarInfo(f"{base}/{name}")
            info.size = len(data)
            info.mode = 0o644
            info.mtime = int(mtime)
            tar.addfile(info, io.BytesIO(data))

        add("PKG-INFO", _metadata().encode("utf-8"))
        for archive_path, disk_path in members:
            with open(disk_path, "rb") as file:
                add(archive_path, file.read())
    return file_name
