"""A kernel of Debian's in the cache, with what a boot of it needs: the kernel,
the initramfs's part with busybox and the screens' modules, the order to load
these in, and fbset. An entry is made once, by one fbvm at a time, and
checked against its manifest at each use: one that is damaged, or was left
half-made, is made anew."""

import glob
import gzip
import hashlib
import json
import lzma
import os
import re
import shutil
import sys

from . import archive, initramfs, run

# The layout of an entry: one of another is made anew.
LAYOUT = 2
# Always loaded: the ports that the guest's output leaves on.
PORTS = ('virtio_pci', 'virtio_console')


class KernelError(Exception):
    pass


def digest(path):
    with open(path, 'rb') as data:
        return hashlib.file_digest(data, 'sha256').hexdigest()


def folder(cache, image, version, debian):
    return os.path.join(cache, 'kernels', f'{image}_{version}_{debian}')


def manifest(entry):
    """The entry's manifest, where every file it names is whole; else None."""
    try:
        facts = json.loads(archive.read(os.path.join(entry, 'ready')))
        files = facts['files'].items()
        return facts if facts['layout'] == LAYOUT and \
            all(digest(os.path.join(entry, name)) == sha for name, sha in files) else None
    except (OSError, TypeError, ValueError, KeyError, AttributeError):
        return None


def find(cache, name, archives, package, needs, checking=False):
    """The entry and manifest of the newest kernel of the metapackage PACKAGE
    that the first of the ARCHIVES gives, made if need be for the NEEDS of
    prepare; after reading the lists anew, once, where it gives none. Which
    it was is kept as NAME until the lists change. CHECKING, it only says
    whether one would be downloaded."""
    debian = archives[0].debian
    memo = os.path.join(cache, 'resolved', name)
    lists = archives[0].lists()
    if os.path.exists(memo) and os.path.getmtime(memo) > os.path.getmtime(lists):
        entry = folder(cache, *archive.read(memo).split(), debian)
        if facts := manifest(entry):
            return entry, facts
    for anew in (False, True):
        if anew:
            archives[0].lists(anew)
        for image, version in archives[0].kernels(package):
            if checking:
                if not manifest(folder(cache, image, version, debian)):
                    print(f'fbvm: downloads {image}:{debian}, busybox-static and fbset on first '
                          'use', file=sys.stderr)
                return None
            if made := prepare(cache, archives, image, version, *needs):
                os.makedirs(os.path.dirname(memo), exist_ok=True)
                archive.replace(memo, f'{image} {version}\n')
                return made
    raise KernelError(f'no {package} kernel for {debian} can be downloaded from the archive')


def fetch(archives, package, into):
    """PACKAGE's .deb into INTO, of the newest version that the first of the
    ARCHIVES to give one gives: busybox-static is static, and fbset loads
    only the C library, which each boot brings, so any release's serves."""
    for each in archives:
        try:
            each.lists()
        except archive.ArchiveError:
            continue
        if any(each.download(package, version, into) for version in each.versions(package)):
            return
    raise KernelError(f'no Debian release gives {package} for {archives[0].debian}')


def prepare(cache, archives, image, version, modules, configs, pvh):
    """The entry and manifest of the kernel IMAGE at VERSION of the first of the
    ARCHIVES, made if need be: it must have one of the names of each of the
    MODULES and the built-in drivers CONFIGS (OPTION:DRIVER); PVH, it gets an
    ELF image too. False where the mirror lacks it."""
    entry = folder(cache, image, version, archives[0].debian)
    os.makedirs(os.path.dirname(entry), exist_ok=True)
    with archive.locked(entry + '.lock'):
        if facts := manifest(entry):
            return entry, facts
        with archive.scratch(os.path.dirname(entry), 'unpack.') as unpack:
            debs, root = os.path.join(unpack, 'debs'), os.path.join(unpack, 'root')
            os.mkdir(debs)
            print(f'fbvm: downloading {image}:{archives[0].debian}, busybox-static and fbset into '
                  + entry, file=sys.stderr)
            if not archives[0].download(image, version, debs):
                return False
            fetch(archives, 'busybox-static', debs)
            fetch(archives, 'fbset', debs)
            for deb in sorted(glob.glob(os.path.join(debs, '*.deb'))):
                run.run(['dpkg-deb', '-x', deb, root])
            return entry, make(entry, root, image[len('linux-image-'):], modules, configs, pvh)


def loads(root, uname, name):
    """The module files that module NAME needs, each after those it needs, as
    modprobe loads them: none where it is built in, None where it is not
    there."""
    shown = run.run(['modprobe', '-d', root, '-S', uname, '--show-depends', name], check=False)
    return re.findall(r'^insmod (\S+)', shown.stdout, re.M) if shown.returncode == 0 else None


def unpacked(path):
    """A module's bytes, however Debian compressed it."""
    if path.endswith('.zst'):
        return run.run(['zstd', '-qdc', path], text=False).stdout
    data = initramfs.read(path)
    return lzma.decompress(data) if path.endswith('.xz') else \
        gzip.decompress(data) if path.endswith('.gz') else data


def elf_kernel(kernel):
    """An x86 kernel as an ELF image, from the xz or zstd stream in it; or None."""
    data = initramfs.read(kernel)
    if (at := data.find(b'\xfd7zXZ\x00')) >= 0:
        try:
            elf = lzma.LZMADecompressor().decompress(data[at:])
        except lzma.LZMAError:
            return None
    elif (at := data.find(b'\x28\xb5\x2f\xfd')) >= 0:
        elf = run.run(['zstd', '-qdc'], data=data[at:], text=False, check=False).stdout
    else:
        return None
    return elf if elf[:4] == b'\x7fELF' else None


def make(entry, root, uname, modules, configs, pvh):
    """The entry from the packages unpacked in ROOT, for the kernel UNAME."""
    # Newer packages put everything under /usr, as a merged system has it.
    if not os.path.exists(os.path.join(root, 'lib')):
        os.symlink('usr/lib', os.path.join(root, 'lib'))
    # The package ships no module dependencies; they are worked out here, and
    # are all that is needed: Debian 13's depmod refuses an alias that Debian
    # 11's i386 kernel has, which is not ASCII, after it has written them.
    said = run.run(['depmod', '-b', root, '-F', f'{root}/boot/System.map-{uname}', uname],
                   check=False)
    if not os.path.exists(f'{root}/lib/modules/{uname}/modules.dep'):
        raise KernelError(f'depmod failed: {said.stdout.strip()}')
    built_in = re.findall(r'^(CONFIG_\w+)=y$', archive.read(f'{root}/boot/config-{uname}'), re.M)
    missing = [config.split(':')[1] for config in configs if config.split(':')[0] not in built_in]
    load, files = {}, {}
    for names in [[name] for name in PORTS] + modules:
        found = [(name, paths) for name in names if (paths := loads(root, uname, name)) is not None]
        if not found:
            missing.append('|'.join(names))
            continue
        load[found[0][0]] = [os.path.basename(path).split('.ko')[0] for path in found[0][1]]
        files.update(zip(load[found[0][0]], found[0][1]))
    if missing:
        raise KernelError(f'the kernel {uname} cannot serve: it has no {" ".join(missing)}')
    shutil.rmtree(entry, ignore_errors=True)
    os.makedirs(entry)
    kernel = glob.glob(f'{root}/boot/vmlinu[xz]-{uname}')[0]
    shutil.copyfile(kernel, os.path.join(entry, 'kernel'))
    places = ('bin', 'sbin', 'usr/bin', 'usr/sbin')
    programs = {name: next(filter(os.path.isfile, (f'{root}/{where}/{name}' for where in places)))
                for name in ('busybox', 'fbset')}
    # A boot brings fbset, and the C library it loads, unless it is a bare one.
    shutil.copyfile(programs['fbset'], os.path.join(entry, 'fbset'))
    entries = [('bin', None), ('bin/busybox', initramfs.read(programs['busybox'])), ('lib', None),
               ('lib/modules', None)]
    entries += [(f'lib/modules/{name}.ko', unpacked(path)) for name, path in sorted(files.items())]
    with open(os.path.join(entry, 'base.cpio'), 'wb') as base:
        base.write(initramfs.newc(entries))
    if pvh and (elf := elf_kernel(kernel)):
        with open(os.path.join(entry, 'kernel.elf'), 'wb') as image:
            image.write(elf)
    facts = {'layout': LAYOUT, 'version': uname, 'load': load,
             'files': {name: digest(os.path.join(entry, name)) for name in os.listdir(entry)}}
    archive.replace(os.path.join(entry, 'ready'), json.dumps(facts, indent=1, sort_keys=True))
    return facts
