"""`cmake --install` into a staging directory (DESTDIR), then the installed pieces at work: the
files where they belong, a program built against the pkg-config file, pkcs11-tool with the
installed library against the installed orvo-sim, and p11-kit listing the Orvo token through the
installed module file. Nothing outside the staging directory is touched; the module file names
the library's final path, so p11-kit is given a copy pointing into the staging directory."""
import os
import re

from orvo_e2e import Simulator, run, scratch, write

BUILD = os.environ["ORVO_BUILD_DIR"]
with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
    CACHE = dict(re.findall(r"^(\w+):\w+=(.*)$", cache.read(), re.M))
PREFIX, LIBDIR = CACHE["CMAKE_INSTALL_PREFIX"], CACHE["CMAKE_INSTALL_LIBDIR"]
MODULE = f"{PREFIX}/{LIBDIR}/pkcs11/liborvo-pkcs11.so"
ADMIN_PROGRAM = r"""#include <orvo/admin.h>
#include <orvo/raw_port.h>
#include <stdio.h>
int main(void) {
    vFreeDeviceList(pListDevices(0x0483, 0xA2AC));
    printf("factory reset before C_Initialize: 0x%x\n", u32FactoryReset(0));
    return 0;
}
"""


def main():
    with scratch() as work:
        os.chmod(work, 0o755)
        stage = os.path.join(work, "stage")
        run([os.environ["ORVO_CMAKE"], "--install", BUILD], env=dict(os.environ, DESTDIR=stage))

        def staged(path):
            return os.path.join(stage, path.lstrip("/"))

        # The files where they belong, the module file naming the library, its exports.
        installed = ("include/orvo/admin.h", "include/orvo/raw_port.h", f"{LIBDIR}/pkgconfig/orvo-pkcs11.pc",
                     "bin/orvo-admin", "bin/orvo-sim")
        for path in [MODULE, *(f"{PREFIX}/{p}" for p in installed), CACHE["ORVO_UDEV_RULES_DIR"] + "/70-orvo.rules"]:
            assert os.path.isfile(staged(path)), f"not installed: {staged(path)}"
        with open(staged(CACHE["ORVO_P11KIT_MODULE_CONFIGS"] + "/orvo.module")) as f:
            lines = [line.strip() for line in f if line.strip() and not line.startswith("#")]
        assert lines == [f"module: {MODULE}"], lines
        run(["bash", os.path.join(os.path.dirname(__file__), "../../scripts/check-exports.sh"), staged(MODULE)])

        # A program built with the flags of the pkg-config file.
        env = dict(os.environ, PKG_CONFIG_PATH=staged(f"{PREFIX}/{LIBDIR}/pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "orvo-pkcs11"], env=env).split()
        program = os.path.join(work, "admin")
        run(["cc", "-Wall", "-Werror", write(program + ".c", ADMIN_PROGRAM), "-o", program] + flags)
        out = run([program])
        assert "factory reset before C_Initialize: 0x190" in out, out

        # pkcs11-tool and p11-kit with the installed library against the installed orvo-sim.
        # p11-kit ignores user module files in a program running as root: it runs as nobody.
        with Simulator(work, program=staged(f"{PREFIX}/bin/orvo-sim")) as sim:
            listing = run(["pkcs11-tool", "--module", staged(MODULE), "-L"], env=sim.env())
            assert "Slot 0" in listing and "Orvo" in listing, listing
            config = os.path.join(work, "config")
            os.makedirs(os.path.join(config, "pkcs11", "modules"))
            write(os.path.join(config, "pkcs11", "modules", "orvo.module"), f"module: {staged(MODULE)}\n")
            os.chmod(sim.state, 0o755)  # the configuration and CA certificate, readable by nobody
            setpriv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if os.getuid() == 0 else []
            modules = run(setpriv + ["p11-kit", "list-modules"], env=sim.env(HOME=config, XDG_CONFIG_HOME=config))
            section = modules[modules.index("orvo: "):] if "orvo: " in modules else ""  # the module and its token
            assert "token: " in section and "model: Orvo" in section, modules


if __name__ == "__main__":
    main()
