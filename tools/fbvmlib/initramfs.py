"""The initramfs of a boot: the kernel's part from the cache, and the boot's own,
with the programs and what they load, the modules to load, the screens' set-up,
the commands, and tools/fbvm-init as /init."""

import os
import re
import shlex
import subprocess

from . import tables


def read(path):
    with open(path, 'rb') as data:
        return data.read()


def newc(entries):
    """A cpio archive in the kernel's format, newc, of ENTRIES, each a name and
    its bytes, or None for a folder. Every file is executable."""
    archive = bytearray()
    for number, (name, data) in enumerate(list(entries) + [('TRAILER!!!', b'')], 1):
        mode = 0 if name == 'TRAILER!!!' else 0o40755 if data is None else 0o100755
        data = data or b''
        fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name.encode()) + 1, 0)
        archive += b'070701' + b''.join(b'%08X' % field for field in fields) + name.encode() + b'\0'
        archive += bytes(-len(archive) % 4) + data + bytes(-len(data) % 4)
    return bytes(archive)


def loaded(programs, folders=('/lib/{}', '/usr/lib/{}', '/usr/{}/lib', '/usr/{}/lib64')):
    """What the dynamic PROGRAMS load, (path here, path in the machine): the
    loader, and the libraries they and those need, from the folders of their
    architecture's triplet: where this machine has no C library of that
    architecture, the cross compiler's, which goes to /lib there. A static
    program loads nothing, and musl's loader is its C library."""
    queue, found = list(programs), {}
    while queue:
        program = queue.pop(0)
        triplet = tables.architecture(program)['triplet']
        said = subprocess.run(['readelf', '-ld', program], capture_output=True, text=True,
                              check=True).stdout
        loader = re.findall(r'program interpreter: (.*)\]$', said, re.M)
        for path in loader:
            found[path if os.path.exists(path) else f'/usr/{triplet}{path}'] = path
        for name in re.findall(r'\(NEEDED\).*\[(.*)\]$', said, re.M):
            if name == 'libc.so' and loader and '/ld-musl-' in loader[0]:
                continue
            here = [path for folder in folders
                    if os.path.exists(path := f'{folder.format(triplet)}/{name}')]
            if not here:
                raise tables.TableError(f'{program} needs {name}, which is not in /lib/{triplet}')
            if here[0] not in found:
                cross = here[0].startswith(f'/usr/{triplet}/')
                found[here[0]] = f'/lib/{name}' if cross else here[0]
                queue.append(here[0])
    return sorted(found.items())


def boot(base, programs, libraries, modules, commands, screen, init):
    """The initramfs of a boot: BASE, the kernel's part, then the PROGRAMS and
    the LIBRARIES they load, the MODULES to load in order, the COMMANDS, each
    (shell command, word of its framebuffer's name), the screens' set-up
    SCREEN and INIT."""
    entries = {name: None for name in ('bin', 'commands', 'proc', 'sys', 'dev', 'tmp')}
    entries.update((f'bin/{os.path.basename(path)}', read(path)) for path in programs)
    for here, there in libraries:
        parts = there.strip('/').split('/')
        entries.update(('/'.join(parts[:depth]), None) for depth in range(1, len(parts)))
        entries['/'.join(parts)] = read(here)
    entries['modules'] = ''.join(name + '\n' for name in modules).encode()
    for number, (command, word) in enumerate(commands, 1):
        entries[f'commands/{number}'], entries[f'commands/{number}.fb'] = \
            f'{command}\n'.encode(), f'{word}\n'.encode()
    entries['screen'] = ' '.join(f'{key}={shlex.quote(value)}'
                                 for key, value in screen.items()).encode()
    entries['init'] = read(init)
    return base + newc(entries.items())
