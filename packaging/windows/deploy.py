#!/usr/bin/python3
"""Gathers Tessaro's Windows programs and everything they load into one
portable folder, and writes the installer's file lists for it.

    deploy.py --sdk SDK --objdump OBJDUMP --system-dlls DIR --qml-sources DIR
              --translations DIR --icon ICO OUT PROGRAM.exe...

The DLLs are those the programs and the plugins import, read from their
import tables and followed recursively; an import found in SDK/bin is copied,
one that Windows itself provides (a DLL of that name in --system-dlls, Wine's
system folder) is left out, and any other fails. The QML modules are those
the window's QML files import, with what each module's qmldir and its own QML
files import in turn. Qt's Italian catalogs come with the catalogs they load."""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

# Loaded by Qt at run time, so no import table names them: the window's
# platform, https through the system's TLS, and the image formats product
# icons may come in (PNG is built into Qt).
PLUGINS = [
    "platforms/qwindows.dll",
    "tls/qschannelbackend.dll",
    "imageformats/qgif.dll",
    "imageformats/qico.dll",
    "imageformats/qjpeg.dll",
]
# The Quick Controls style main() selects; the QML files do not import it.
STYLE_MODULES = ["QtQuick.Controls.Fusion"]
LANGUAGES = ["it"]
# API sets are names the Windows loader maps onto its own DLLs: no file
# of that name exists to ship, on Windows as under Wine.
API_SET_PREFIXES = ("api-ms-win-", "ext-ms-win-")
# Compiled into the program (Tessaro's own module) or part of the language.
BUILTIN_MODULES = {"Tessaro"}

IMPORT_LINE = re.compile(r"^\s*import\s+([A-Za-z_][\w.]*)\b(?!\s*\")", re.M)
QMLDIR_LINE = re.compile(r"^(optional\s+|default\s+)?(import|depends)\s+([\w.]+)", re.M)


def fail(text):
    sys.exit("deploy: " + text)


class Deployer:
    def __init__(self, args):
        self.args = args
        self.out = args.out
        self.sdk = args.sdk
        self.system = {name.lower() for name in os.listdir(args.system_dlls)}
        self.available = {name.lower(): name for name in os.listdir(os.path.join(self.sdk, "bin"))}
        self.copied_dlls = set()
        self.files = []  # paths relative to out, every file the folder holds

    def copy(self, source, relative):
        target = os.path.join(self.out, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
        self.files.append(relative)

    def imports(self, pe):
        text = subprocess.run([self.args.objdump, "-p", pe], check=True, capture_output=True, text=True).stdout
        return re.findall(r"^\s*DLL Name:\s*(\S+)", text, re.M)

    def follow(self, pe):
        """Copies the DLLs PE imports from the SDK, recursively."""
        pending = [pe]
        while pending:
            current = pending.pop()
            for name in self.imports(current):
                key = name.lower()
                if key in self.copied_dlls:
                    continue
                if key in self.available:
                    self.copied_dlls.add(key)
                    self.copy(os.path.join(self.sdk, "bin", self.available[key]), self.available[key])
                    pending.append(os.path.join(self.out, self.available[key]))
                elif key not in self.system and not key.startswith(API_SET_PREFIXES):
                    fail("%s imports %s, which is neither in %s nor a Windows DLL"
                         % (os.path.relpath(current, self.out), name, os.path.join(self.sdk, "bin")))

    def qml_module(self, module, seen):
        if module in seen or module in BUILTIN_MODULES:
            return
        seen.add(module)
        relative = os.path.join("qml", *module.split("."))
        folder = os.path.join(self.sdk, relative)
        if not os.path.isfile(os.path.join(folder, "qmldir")):
            fail("the QML module %s is not in %s" % (module, os.path.join(self.sdk, "qml")))
        wanted = []
        with open(os.path.join(folder, "qmldir")) as f:
            for optional, _, name in QMLDIR_LINE.findall(f.read()):
                # Optional imports are the other styles; only the chosen one goes.
                if optional.strip() != "optional":
                    wanted.append(name)
        for entry in sorted(os.listdir(folder)):
            path = os.path.join(folder, entry)
            if os.path.isdir(path):
                # Implementation modules ("impl", "quickimpl") are loaded by
                # their parent's plugin; other nested modules are separate.
                if os.path.isfile(os.path.join(path, "qmldir")):
                    if entry in ("impl", "quickimpl"):
                        wanted.append(module + "." + entry)
                    continue
                for base, _, names in os.walk(path):
                    for name in names:
                        source = os.path.join(base, name)
                        self.copy(source, os.path.relpath(source, self.sdk))
                        # "+Style" folders serve only that style, which is
                        # not the one chosen.
                        selector = any(p.startswith("+") for p in os.path.relpath(source, folder).split(os.sep))
                        if name.endswith(".qml") and not selector:
                            wanted.extend(qml_imports(source))
                continue
            self.copy(path, os.path.join(relative, entry))
            if entry.endswith(".qml"):
                wanted.extend(qml_imports(path))
            elif entry.endswith(".dll"):
                self.follow(os.path.join(self.out, relative, entry))
        for name in wanted:
            self.qml_module(name, seen)

    def translations(self):
        for language in LANGUAGES:
            pending = ["qt_" + language]
            done = set()
            while pending:
                name = pending.pop()
                if name in done:
                    continue
                done.add(name)
                source = os.path.join(self.args.translations, name + ".qm")
                if not os.path.isfile(source):
                    fail("Qt's catalog %s is missing (qt6-translations-l10n)" % source)
                self.copy(source, os.path.join("translations", name + ".qm"))
                pending.extend(qm_dependencies(source))

    def run(self):
        if os.path.exists(self.out):
            shutil.rmtree(self.out)
        os.makedirs(self.out)
        for program in self.args.programs:
            self.copy(program, os.path.basename(program))
            self.follow(os.path.join(self.out, os.path.basename(program)))
        for plugin in PLUGINS:
            self.copy(os.path.join(self.sdk, "plugins", plugin), os.path.join("plugins", plugin))
            self.follow(os.path.join(self.out, "plugins", plugin))
        modules = set(STYLE_MODULES)
        for name in sorted(os.listdir(self.args.qml_sources)):
            if name.endswith(".qml"):
                modules.update(qml_imports(os.path.join(self.args.qml_sources, name)))
        seen = set()
        for module in sorted(modules):
            self.qml_module(module, seen)
        self.translations()
        # Qt finds its plugins, QML modules and catalogs below the programs.
        with open(os.path.join(self.out, "qt.conf"), "w", newline="\r\n") as f:
            f.write("[Paths]\nPrefix = .\nPlugins = plugins\nQmlImports = qml\nTranslations = translations\n")
        self.files.append("qt.conf")
        self.copy(self.args.icon, "tessaro.ico")
        self.write_file_lists()

    def write_file_lists(self):
        """NSIS includes: what the installer puts down and exactly what its
        uninstaller removes again (never a whole folder the user may share)."""
        files = sorted(set(self.files))
        folders = sorted({os.path.dirname(f) for f in files} - {""})
        # Every ancestor too, deepest first when removing.
        for folder in list(folders):
            while os.path.dirname(folder):
                folder = os.path.dirname(folder)
                folders.append(folder)
        folders = sorted(set(folders), key=lambda f: (-f.count("/"), f))
        win = lambda path: path.replace("/", "\\")
        with open(self.args.nsis_install, "w") as f:
            current = None
            for path in files:
                folder = os.path.dirname(path)
                if folder != current:
                    f.write('SetOutPath "$INSTDIR%s"\n' % ("\\" + win(folder) if folder else ""))
                    current = folder
                f.write('File "%s"\n' % win(os.path.join(self.out, path)).replace("\\", "/"))
            f.write('SetOutPath "$INSTDIR"\n')
        with open(self.args.nsis_uninstall, "w") as f:
            for path in files:
                f.write('Delete "$INSTDIR\\%s"\n' % win(path))
            for folder in folders:
                f.write('RMDir "$INSTDIR\\%s"\n' % win(folder))


def qml_imports(path):
    with open(path, encoding="utf-8") as f:
        return IMPORT_LINE.findall(f.read())


def qm_dependencies(path):
    """The catalogs a .qm file loads with it (its dependencies section)."""
    with open(path, "rb") as f:
        data = f.read()
    position, names = 16, []
    while position + 5 <= len(data):
        tag, length = data[position], struct.unpack(">I", data[position + 1:position + 5])[0]
        body = data[position + 5:position + 5 + length]
        position += 5 + length
        if tag == 0x96:
            offset = 0
            while offset + 4 <= len(body):
                size = struct.unpack(">I", body[offset:offset + 4])[0]
                names.append(body[offset + 4:offset + 4 + size].decode("utf-16-be"))
                offset += 4 + size
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sdk", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--system-dlls", required=True)
    parser.add_argument("--qml-sources", required=True)
    parser.add_argument("--translations", required=True)
    parser.add_argument("--icon", required=True)
    parser.add_argument("--nsis-install", required=True)
    parser.add_argument("--nsis-uninstall", required=True)
    parser.add_argument("out")
    parser.add_argument("programs", nargs="+")
    Deployer(parser.parse_args()).run()


if __name__ == "__main__":
    main()
