"""The package holds exactly the extension modules of the one module list
(src/modules/extension_modules.txt, also read by meson.build and the stub
check), each with its stub."""

import importlib
import importlib.machinery
import os

import vez_api

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
LIST = os.path.join(REPO, "src", "modules", "extension_modules.txt")


def listed_modules():
    with open(LIST, encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip()]


def test_the_list_has_each_module_once():
    names = listed_modules()
    assert names and len(names) == len(set(names))


def test_every_listed_module_is_an_installed_extension_with_its_stub():
    package_dir = os.path.dirname(vez_api.__file__)
    for name in listed_modules():
        module = importlib.import_module(f"vez_api.{name}")
        assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), name
        assert os.path.isfile(os.path.join(package_dir, name + ".pyi")), name
        assert os.path.isfile(os.path.join(REPO, "python", "vez_api", name + ".pyi")), name


def test_no_extension_module_outside_the_list():
    package_dir = os.path.dirname(vez_api.__file__)
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    installed = {f.split(".")[0] for f in os.listdir(package_dir) if f.endswith(suffixes)}
    assert installed == set(listed_modules())
    stubs = {f[: -len(".pyi")] for f in os.listdir(os.path.join(REPO, "python", "vez_api")) if f.endswith(".pyi")}
    assert stubs == set(listed_modules())
