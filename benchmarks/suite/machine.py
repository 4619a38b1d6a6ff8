"""What the figures were measured on."""

from __future__ import annotations

import importlib.util
import os
import platform
import sys
from importlib import metadata
from pathlib import Path


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def load_average() -> list[float] | None:
    try:
        return [round(v, 2) for v in os.getloadavg()]
    except OSError:
        return None


def versions(names: list[str]) -> dict[str, str]:
    found = {"python": platform.python_version()}
    for name in names:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = "not installed"
    return found


def companion_package() -> str:
    """Where marlune_tools comes from (it ships inside marlune's wheel), or that it is absent."""
    spec = importlib.util.find_spec("marlune_tools")
    if spec is None or spec.origin is None:
        return "not present"
    return str(Path(spec.origin).parent)


def describe() -> dict:
    return {
        "cpu": cpu_model(),
        "cores": usable_cores(),
        "logical_cpus": os.cpu_count(),
        "os": f"{platform.system()} {platform.release()}",
        "python_executable": sys.executable,
        "load_average_at_start": load_average(),
    }
