"""fbvm's decisions, with no QEMU and no network: an archive of recorded lists
that the commands fbvm starts read, made up here, and a machine that has
ended. python3 -m unittest discover -s tools/fbvmlib runs them."""

import lzma
import os
import re
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import zlib
from unittest import mock

from . import archive, cli, kernel, run, tables, vm

UNAME = '6.1.0-57-amd64'
# What the archive's lists name, by release: packages and their versions,
# newest first, and the kernel each version of the metapackage depends on.
LISTS = {
    'bookworm': {'linux-image-amd64': ['6.1.192-3', '6.1.170-1'],
                 'busybox-static': ['1:1.35.0-4+b4', '1:1.35.0-4'],
                 f'linux-image-{UNAME}': ['6.1.192-3'], 'linux-image-6.1.0-50-amd64': ['6.1.170-1'],
                 'linux-image-6.1.0-49-amd64': ['6.1.160-1']},
    'trixie': {'fbset': ['2.1-34']},
}
DEPENDS = {'6.1.192-3': f'linux-image-{UNAME}', '6.1.170-1': 'linux-image-6.1.0-50-amd64'}
# modprobe's load order of each module, and those the kernel lacks.
MODULES = {'virtio_pci': ['virtio', 'virtio_ring', 'virtio_pci'],
           'virtio_console': ['virtio_console'], 'bochs': ['drm', 'bochs'], 'vfb': []}


class Archive:
    """The commands that read the archive, as fbvm starts them, answered from
    LISTS; MISSING are the package=version that its mirror lacks."""

    def __init__(self, missing=(), failing=None, update=0):
        self.missing, self.failing, self.update, self.calls = set(missing), failing, update, []

    def run(self, command, check=True, text=True, data=None, cwd=None):
        options = dict(word[2:].split('=', 1) for word in command if word.startswith('-o'))
        words = [word for word in command if not word.startswith('-o')]
        release = re.search(r'apt-(\w+)-', options.get('Dir::State', 'apt-none-')).group(1)
        lists = LISTS.get(release, {})
        self.calls.append((release, *words))
        said, status = '', 0
        if words[:2] == ['apt-get', 'update']:
            lists = f"{options['Dir::State']}/lists"
            if self.update != 2:
                os.makedirs(lists, exist_ok=True)
                open(f'{lists}/x_dists_{release}_main_binary-amd64_Packages', 'w').close()
            if self.update:
                said, status = 'E: Failed to fetch security: 404  Not Found', 100
        elif words[:2] == ['apt-cache', 'madison']:
            said = ''.join(f'{words[2]} | {version} | x\n' for version in lists.get(words[2], []))
        elif words[:2] == ['apt-cache', 'show']:
            said = f"Depends: {DEPENDS[words[2].split('=')[1]]} (= {words[2].split('=')[1]})\n"
        elif words[:2] == ['apt-cache', 'pkgnames']:
            said = '\n'.join(name for name in lists if name.startswith(words[2]))
        elif words[:2] == ['apt-get', 'download']:
            if words[-1] == self.failing:
                said, status = 'E: Write error - write (28: No space left on device)', 100
            elif words[-1] in self.missing or words[-1].split('=')[0] not in lists:
                said, status = 'E: Failed to fetch http://x  404  Not Found', 100
            else:
                open(os.path.join(cwd, words[-1].replace('=', '_') + '.deb'), 'w').close()
        elif words[0] == 'dpkg-deb':
            unpack(words[2], words[3])
        elif words[0] == 'depmod':
            os.makedirs(f'{words[2]}/lib/modules/{words[5]}', exist_ok=True)
            open(f'{words[2]}/lib/modules/{words[5]}/modules.dep', 'w').close()
        elif words[0] == 'modprobe':
            found = MODULES.get(words[-1])
            said = ''.join(f'insmod {words[2]}/{name}.ko.xz\n' for name in found or [])
            status = 0 if found is not None else 1
        return subprocess.CompletedProcess(command, status, said if text else said.encode())


def unpack(deb, root):
    """A package's files, as the fake archive's packages hold them."""
    def write(path, data=b''):
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, path), 'wb') as file:
            file.write(data)
    name = os.path.basename(deb)
    if name.startswith('linux-image-'):
        uname = name.split('_')[0][len('linux-image-'):]
        write(f'boot/vmlinuz-{uname}', b'kernel ' + uname.encode())
        os.makedirs(os.path.join(root, 'usr/lib'), exist_ok=True)
        write(f'boot/config-{uname}', b'CONFIG_FB_VESA=y\n')
        for module in {name for names in MODULES.values() for name in names or []}:
            write(f'{module}.ko.xz', lzma.compress(module.encode()))
    else:
        write('bin/busybox' if name.startswith('busybox') else 'usr/sbin/fbset', name.encode())


class Lookup(unittest.TestCase):
    """The kernel and its helpers, found in the archive and kept in the cache."""

    def setUp(self):
        self.cache = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ['rm', '-rf', self.cache])

    def again(self):
        """Another cache, empty."""
        self.setUp()

    def find(self, world, checking=False):
        archives = [archive.Archive(self.cache, each, 'amd64') for each in ('bookworm', 'trixie')]
        with mock.patch.object(archive, 'addresses', return_value=('http://a', 'http://s')), \
                mock.patch.object(run, 'run', world.run):
            needs = ([['bochs', 'bochs-drm']], ['CONFIG_FB_VESA:vesafb'], False)
            return kernel.find(self.cache, 'x86_64-bookworm', archives, 'linux-image-amd64', needs,
                               checking)

    def downloads(self, world):
        return [call[-1] for call in world.calls if call[1:3] == ('apt-get', 'download')]

    def test_missing_kernel_and_helpers_are_taken_older_or_from_elsewhere_each_asked_once(self):
        world = Archive(missing=[f'linux-image-{UNAME}=6.1.192-3', 'busybox-static=1:1.35.0-4+b4'])
        self.assertIsNone(self.find(world, checking=True))
        self.assertEqual([], self.downloads(world))
        entry, facts = self.find(world)
        self.assertTrue(entry.endswith('linux-image-6.1.0-50-amd64_6.1.170-1_amd64'))
        self.assertEqual(['virtio', 'virtio_ring', 'virtio_pci'], facts['load']['virtio_pci'])
        self.assertEqual(['drm', 'bochs'], facts['load']['bochs'])
        asked = self.downloads(world)
        # Once with the security archive's lists, once with the release's own.
        self.assertEqual(2, asked.count(f'linux-image-{UNAME}=6.1.192-3'))
        self.assertEqual(2, asked.count('busybox-static=1:1.35.0-4+b4'))
        self.assertIn('fbset=2.1-34', asked)

    def test_a_kept_kernel_is_used_as_it_is_and_a_damaged_one_made_anew(self):
        entry, _ = self.find(Archive())
        world = Archive()
        self.assertEqual(entry, self.find(world)[0])
        self.assertEqual([], [call for call in world.calls if call[1:3] != ('apt-get', 'update')])
        with open(os.path.join(entry, 'kernel'), 'r+b') as kernel_file:
            kernel_file.truncate(3)
        self.find(world)
        self.assertEqual([f'linux-image-{UNAME}=6.1.192-3'], self.downloads(world)[:1])

    def test_two_runs_at_once_download_once(self):
        world = Archive()
        found = []
        runs = [threading.Thread(target=lambda: found.append(self.find(world))) for _ in range(2)]
        for each in runs:
            each.start()
        for each in runs:
            each.join()
        self.assertEqual(found[0], found[1])
        self.assertEqual(1, self.downloads(world).count(f'linux-image-{UNAME}=6.1.192-3'))

    def test_lists_without_the_security_archive_serve_and_a_failure_says_why(self):
        with self.assertRaisesRegex(archive.ArchiveError, 'Failed to fetch security'):
            self.find(Archive(update=2), checking=True)
        self.find(Archive(update=1))
        self.again()
        with self.assertRaisesRegex(archive.ArchiveError, 'No space left on device'):
            self.find(Archive(failing=f'linux-image-{UNAME}=6.1.192-3'))

    def test_a_kernel_without_a_screens_module_is_refused_by_name(self):
        with mock.patch.dict(MODULES, {'bochs': None}), \
                self.assertRaisesRegex(kernel.KernelError, 'no bochs|bochs-drm'):
            self.find(Archive())

    def test_a_scratch_folder_left_behind_is_removed_but_one_in_use_is_kept(self):
        left = tempfile.mkdtemp(prefix='unpack.', dir=self.cache)
        with archive.scratch(self.cache, 'unpack.') as used:
            with archive.scratch(self.cache, 'unpack.'):
                self.assertTrue(os.path.isdir(used))
        self.assertEqual([], os.listdir(self.cache))
        self.assertFalse(os.path.exists(left))


def header(elf_class, order, machine, flags=0):
    pack = '<' if order == 1 else '>'
    return (b'\x7fELF' + bytes([elf_class, order, 1]) + bytes(9)
            + struct.pack(pack + 'HHI', 2, machine, 1) + bytes(12 if elf_class == 1 else 24)
            + struct.pack(pack + 'I', flags) + bytes(12))


class Machines(unittest.TestCase):
    """The tables, the command line, QEMU's command and what comes back."""

    def test_a_program_is_known_by_class_byte_order_machine_and_float_abi(self):
        with tempfile.TemporaryDirectory() as folder:
            for head, debian in [(header(2, 1, 62), 'amd64'), (header(2, 2, 22), 's390x'),
                                 (header(1, 1, 40, 0x5000400), 'armhf'),
                                 (header(1, 1, 40, 0x5000200), 'armel'), (header(1, 2, 8), None),
                                 (header(2, 2, 21), None), (header(2, 1, 62)[:30], None)]:
                with open(os.path.join(folder, 'program'), 'wb') as program:
                    program.write(head)
                if debian:
                    self.assertEqual(debian, tables.architecture(program.name)['debian'])
                else:
                    self.assertRaises(tables.TableError, tables.architecture, program.name)
        self.assertEqual([], tables.select('architectures', None, 'x86\\x5f64'))

    def test_qemu_command_for_each_machine(self):
        for machine in tables.rows('vms'):
            kinds = [(tables.select('screens', 'name', screen)[0]['kind'], '0x344')
                     for screen in machine['screens']]
            line = ' '.join(vm.command(machine, 'K', 'I', kinds, 'W', 'L'))
            start = f"qemu-system-{machine['system']} -nodefaults -no-reboot -machine "
            self.assertTrue(line.startswith(start + ','.join(machine['board'])), line)
            self.assertEqual(bool(machine['cpu']), f"-cpu {machine['cpu']} " in line)
            self.assertEqual('ramfb' in machine['screens'], f"-bios {machine['firmware']}" in line)
            self.assertEqual(machine['name'] in ('x86_64', 'i386'), ' vga=0x344' in line)
        line = vm.command(tables.vm('ppc64el'), 'K', 'I', [], 'W', 'L')
        self.assertIn('cap-ccf-assist=off', line[line.index('-machine') + 1])
        self.assertEqual('max', tables.vm('arm64-16k')['cpu'])

    def test_screens_firmware_ones_alone_others_one_of_a_kind(self):
        options = cli.Options(['--vesa', '0x344', 'a', '--drm', 'virtio', 'b', '--vesa', '0x311',
                               'c', '--vfb', 'x'])
        self.assertEqual([('a', 0), ('b', 1), ('c', 2)], options.commands)
        with self.assertRaisesRegex(cli.Failure, 'one screen of a kind'):
            cli.Options(['--vfb', 'a', 'x', '--vfb', 'b'])
        with tempfile.NamedTemporaryFile() as file, \
                self.assertRaisesRegex(cli.Failure, 'not a folder'):
            cli.run(cli.Options(['--bin', '.', '--out', file.name, '--drm', 'virtio', 'true']))

    def test_a_machine_that_has_ended_is_told_at_once_with_its_cause(self):
        with tempfile.TemporaryDirectory() as work:
            qemu = vm.Qemu.__new__(vm.Qemu)
            qemu.work, qemu.log, qemu.seen = work, os.path.join(work, 'console.log'), 0
            for name, text in [('control', ''), ('qemu.log', ''),
                               ('console.log', 'Kernel panic - not syncing: VFS\n')]:
                with open(os.path.join(work, name), 'w', encoding='utf-8') as file:
                    file.write(text)
            qemu.process = subprocess.Popen(['true'])
            qemu.process.wait()
            started = time.monotonic()
            with self.assertRaisesRegex(vm.MachineError,
                                        'before command 1 ended: Kernel panic - not syncing: VFS'):
                qemu.done(1)
            self.assertLess(time.monotonic() - started, 1)

    def test_vfb_memory_becomes_the_picture_of_its_visible_area(self):
        # Two lines of three pixels, of which the picture shows the last two
        # of each: blue, green and red at 0, 8 and 16, as vfb lays them out.
        memory = b'2 2 32 12 1 8/16,8/8,8/0,0/0\n' + bytes(range(24))
        first, second = bytes([6, 5, 4, 10, 9, 8]), bytes([18, 17, 16, 22, 21, 20])
        with tempfile.TemporaryDirectory() as results:
            vm.picture(memory, results)
            with open(os.path.join(results, 'screen.ppm'), 'rb') as ppm:
                self.assertEqual(b'P6\n2 2\n255\n' + first + second, ppm.read())
            with open(os.path.join(results, 'screen.png'), 'rb') as png:
                data = png.read()
            self.assertEqual(b'\0' + first + b'\0' + second,
                             zlib.decompress(data[data.index(b'IDAT') + 4:data.index(b'IEND') - 8]))
