"""`cmake --install` into a staging directory (DESTDIR), then the installed pieces at work: the
files where they belong, a program built against the pkg-config file, pkcs11-tool with the
installed library against the installed orvo-sim, and p11-kit listing the Orvo token through the
installed module file. Nothing outside the staging directory is touched; the module file names
the library's final path, so p11-kit is given a copy pointing into the staging directory."""
import os
import subprocess

import orvo_e2e
from orvo_e2e import Simulator, run, scratch, write

BUILD = os.environ["ORVO_BUILD_DIR"]
CMAKE = os.environ["ORVO_CMAKE"]
ADMIN_PROGRAM = r"""
#include <orvo/admin.h>
#include <orvo/raw_port.h>
#include <stdio.h>
int main(void) {
    char** devices = pListDevices(0x0483, 0xA2AC);
    vFreeDeviceList(devices);
    printf("factory reset before C_Initialize: 0x%x\n", u32FactoryReset(0));
    return 0;
}
"""


def cache_value(name):
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise AssertionError(f"{name} is not in the build's cache")


def staged(stage, path):
    return os.path.join(stage, path.lstrip("/"))


def check_layout(stage, prefix, libdir):
    module = staged(stage, f"{prefix}/{libdir}/pkcs11/liborvo-pkcs11.so")
    for path in [module, *(staged(stage, f"{prefix}/{p}") for p in (
            "include/orvo/admin.h", "include/orvo/raw_port.h", f"{libdir}/pkgconfig/orvo-pkcs11.pc",
            "bin/orvo-admin", "bin/orvo-sim")), staged(stage, cache_value("ORVO_UDEV_RULES_DIR") + "/70-orvo.rules")]:
        assert os.path.isfile(path), f"not installed: {path}"
    module_file = staged(stage, cache_value("ORVO_P11KIT_MODULE_CONFIGS") + "/orvo.module")
    with open(module_file) as f:
        lines = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    assert lines == [f"module: {prefix}/{libdir}/pkcs11/liborvo-pkcs11.so"], lines
    run(["bash", os.path.join(os.path.dirname(__file__), "../../scripts/check-exports.sh"), module])
    return module, module_file


def check_pkg_config(stage, prefix, libdir, work):
    env = dict(os.environ, PKG_CONFIG_PATH=staged(stage, f"{prefix}/{libdir}/pkgconfig"))
    flags = run(["pkg-config", "--cflags", "--libs", "orvo-pkcs11"], env=env).split()
    source = write(os.path.join(work, "admin.c"), ADMIN_PROGRAM)
    program = os.path.join(work, "admin")
    run(["cc", "-Wall", "-Werror", source, "-o", program] + flags)
    out = run([program])
    assert "factory reset before C_Initialize: 0x190" in out, out


def as_unprivileged(args):
    """p11-kit ignores user module files in a program running as root: drop to nobody."""
    if os.getuid() != 0:
        return args
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + args


def check_clients(sim, module, module_file, work):
    listing = run(["pkcs11-tool", "--module", module, "-L"], env=sim.env())
    assert "Slot 0" in listing and "Orvo" in listing, listing

    config = os.path.join(work, "config")
    os.makedirs(os.path.join(config, "pkcs11", "modules"))
    with open(module_file) as f:
        write(os.path.join(config, "pkcs11", "modules", "orvo.module"),
              "".join(f"module: {module}\n" if line.startswith("module:") else line for line in f))
    os.chmod(sim.state, 0o755)  # the configuration and CA certificate, readable by nobody
    env = dict(sim.env(), HOME=config, XDG_CONFIG_HOME=config)
    modules = run(as_unprivileged(["p11-kit", "list-modules"]), env=env)
    section = modules[modules.index("orvo: "):] if "orvo: " in modules else ""  # the module and its token
    assert "token: " in section and "model: Orvo" in section, modules


def main():
    with scratch() as work:
        os.chmod(work, 0o755)
        stage = os.path.join(work, "stage")
        subprocess.run([CMAKE, "--install", BUILD], env=dict(os.environ, DESTDIR=stage), check=True,
                       stdout=subprocess.DEVNULL)
        prefix = cache_value("CMAKE_INSTALL_PREFIX")
        libdir = cache_value("CMAKE_INSTALL_LIBDIR")
        module, module_file = check_layout(stage, prefix, libdir)
        check_pkg_config(stage, prefix, libdir, work)
        orvo_e2e.SIM = staged(stage, f"{prefix}/bin/orvo-sim")
        with Simulator(work) as sim:
            check_clients(sim, module, module_file, work)


if __name__ == "__main__":
    main()
