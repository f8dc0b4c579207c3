"""fbvm's command line, and the course of a run: the machine, its kernel from
the cache, and its boots, each of which shows screens and runs commands."""

import glob
import os
import signal
import subprocess
import sys
import tempfile

from . import archive, initramfs, kernel, tables, vm

HELP = '''\
usage: fbvm [--arch MACHINE] [--release RELEASE] [--bin DIR [--bare]] [--out DIR]
            SCREEN COMMAND... [SCREEN COMMAND...]
       fbvm [--arch MACHINE] [--release RELEASE] --check
       fbvm [--arch MACHINE] --releases | --needs
       fbvm --help

MACHINE (default x86_64) is one of:'''
MORE = '''\
or a kind of screen in a set-up of one's own: --vesa MODE (as vga=MODE on
QEMU's standard VGA), --vfb OPTIONS (fbset's) [--pan X,Y], --drm bochs, --drm
virtio, or --ramfb.'''
# What runs a machine, but QEMU: modprobe and depmod, readelf, and zstd.
HOST = ['kmod', 'binutils', 'zstd']
VALUED = ['--arch', '--pages', '--release', '--bin', '--out', '--pan']
SCREENS = ['--screen', '--vesa', '--vfb', '--drm']


class Failure(Exception):
    pass


class Interrupted(BaseException):
    pass


def default_release(machine, facts='/etc/os-release'):
    """This machine's own release where the machine boots it, else the newest."""
    with open(facts, encoding='utf-8') as text:
        own = [line.strip()[17:].strip('"') for line in text
               if line.startswith('VERSION_CODENAME=')]
    return own[0] if own and own[0] in machine['releases'] else machine['releases'][-1]


def help_text():
    lines = [HELP]
    for machine in tables.rows('vms'):
        lines += [f"  {machine['name']:<10} QEMU {machine['system']}, {machine['board'][0]}; "
                  f"screens: {' '.join(machine['screens'])}", f"  {'':<10} releases: "
                  f"{' '.join(machine['releases'])}; by default {default_release(machine)}"]
    lines.append('SCREEN, /dev/fb0 in the machine, is --screen NAME, one of:')
    for screen in tables.rows('screens'):
        lines.append(f"  {screen['name']:<11} {screen['xres']}x{screen['yres']} at {screen['bpp']} "
                     f"bpp, {screen['line']} bytes a line: "
                     + vm.KINDS[screen['kind']]['about'].format(screen['setting']))
    return '\n'.join(lines + [MORE])


class Options:
    """The command line: its options, the screens, (kind, setting, what asked
    for it), and the commands, (command, number of its screen)."""

    def __init__(self, arguments):
        self.arch, self.pages, self.release, self.bin, self.out, self.pan = \
            'x86_64', '4k', None, 'build/default/bin', None, ''
        self.action, self.bare, self.screens, self.commands = 'run', False, [], []
        arguments = list(arguments)
        while arguments:
            option = arguments.pop(0)
            if option in VALUED + SCREENS and not arguments:
                raise Failure(f'{option} needs a value; see fbvm --help')
            value = arguments.pop(0) if option in VALUED + SCREENS else ''
            if option in ('--help', '--check', '--releases', '--needs'):
                self.action = option[2:]
            elif option in VALUED:
                setattr(self, option[2:], value)
            elif option == '--bare':
                self.bare = True
            elif option == '--screen':
                found = tables.select('screens', 'name', value)
                if not found:
                    raise Failure(f'no screen {value}; see fbvm --help')
                self.choose(found[0]['kind'], found[0]['setting'], f'{option} {value}')
            elif option in ('--vesa', '--vfb', '--ramfb') or f'drm-{value}' in vm.KINDS:
                kind = f'drm-{value}' if option == '--drm' else option[2:]
                setting = value if option in ('--vesa', '--vfb') else '-'
                self.choose(kind, setting, f'{option} {value}'.strip())
            elif option.startswith('-') and option != '--':
                raise Failure(f'no option {option} {value}'.strip() + '; see fbvm --help')
            elif option != '--':
                if not self.screens:
                    raise Failure('choose a screen before a COMMAND; see fbvm --help')
                self.commands.append((option, self.current))
        self.name = self.arch if self.pages == '4k' else f'{self.arch}-{self.pages}'

    def choose(self, kind, setting, asked):
        """The commands after it run on a screen of KIND: one of each kind a
        boot, but any number of the firmware's, each in a boot of its own."""
        for number, (other, other_setting, other_asked) in enumerate(self.screens):
            if (other, other_setting) == (kind, setting):
                self.current = number
                return
            if other == kind and not vm.KINDS[kind].get('firmware'):
                raise Failure(f'one screen of a kind: {other_asked} and {asked} both ask for one')
        self.current = len(self.screens)
        self.screens.append((kind, setting, asked))


def kernel_of(cache, machine, release, checking=False):
    """The machine's kernel of RELEASE, as kernel.find has it, with busybox and
    fbset from any release that the machine boots, its own first."""
    others = [other for other in machine['releases'][::-1] if other != release]
    archives = [archive.Archive(cache, each, machine['runs'][0]) for each in [release] + others]
    kinds = [vm.KINDS[kind] for kind in kinds_of(machine)]
    needs = ([kind['modules'] for kind in kinds if 'modules' in kind],
             [kind['config'] for kind in kinds if 'config' in kind], machine['system'] == 'x86_64')
    return kernel.find(cache, f"{machine['name']}-{release}", archives, machine['kernel'], needs,
                       checking)


def kinds_of(machine):
    return {screen['kind'] for screen in tables.rows('screens')
            if screen['name'] in machine['screens']}


def boot(options, machine, entry, programs, numbers, out):
    """A boot that shows the screens NUMBERS and runs their commands."""
    entry, facts = entry
    shown = [(number, options.screens[on][0]) for number, (_, on) in enumerate(options.commands)
             if on in numbers]
    if not shown:
        return
    kinds = [options.screens[number][:2] for number in numbers]
    modules = list(kernel.PORTS) + [name for kind, _ in kinds
                                    for name in vm.KINDS[kind].get('modules', [])
                                    if name in facts['load']]
    loads = list(dict.fromkeys(module for name in modules for module in facts['load'][name]))
    screen = {'vfbmode': next((setting for kind, setting in kinds if kind == 'vfb'), ''),
              'pan': options.pan}
    commands = [(options.commands[number][0], vm.KINDS[kind]['word']) for number, kind in shown]
    # A bare boot brings nothing but busybox beside the programs.
    programs = programs + ([] if options.bare else [os.path.join(entry, 'fbset')])
    libraries = initramfs.loaded(programs)
    if options.bare and libraries:
        raise Failure(f'--bare, but the programs of {options.bin} load {libraries[0][1]}')
    image = initramfs.boot(initramfs.read(os.path.join(entry, 'base.cpio')), programs, libraries,
                           loads, commands, screen, os.path.join(tables.TOOLS, 'fbvm-init'))
    # The ELF image boots faster, where no vga= is to be set.
    elf = os.path.join(entry, 'kernel.elf')
    if not os.path.exists(elf) or 'vesa' in dict(kinds):
        elf = os.path.join(entry, 'kernel')
    vm.boot(machine, elf, image, kinds, [(f'{out}/{number + 1}', kind) for number, kind in shown],
            os.path.join(out, 'console.log'))


def run(options):
    if options.action == 'help':
        print(help_text())
        return 0
    try:
        machine = tables.vm(options.name)
    except tables.TableError:
        raise Failure(f'no machine {options.name}; see fbvm --help') from None
    release = options.release or default_release(machine)
    if options.action in ('releases', 'needs'):
        print(' '.join([release] + [other for other in machine['releases'] if other != release]
                       if options.action == 'releases' else HOST + machine['packages']))
        return 0
    if release not in machine['releases']:
        raise Failure(f'the {options.name} machine boots no Debian {release} kernel; '
                      'see fbvm --help')
    cache = os.path.join(os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache'),
                         'kernelprobes', 'fbvm')
    if options.action == 'check':
        wanted = HOST + machine['packages']
        said = subprocess.run(['dpkg-query', '-W', '-f', '${db:Status-Abbrev} ${Package}\n']
                              + wanted, capture_output=True, text=True).stdout.splitlines()
        if lacking := [package for package in wanted if f'ii  {package}' not in said]:
            raise Failure(f'cannot run an {options.name} machine here\n  as root, run: '
                          f"apt-get install --no-install-recommends {' '.join(lacking)}")
        kernel_of(cache, machine, release, checking=True)
        print(release)
        return 0
    if not options.commands:
        raise Failure('a COMMAND after the options; see fbvm --help')
    for kind, _, asked in options.screens:
        if kind not in kinds_of(machine):
            raise Failure(f'the {options.name} machine has no screen {asked}; see fbvm --help')
    if not os.path.isdir(options.bin):
        raise Failure(f'no programs in {options.bin}: build first')
    if options.out and os.path.exists(options.out) and not os.path.isdir(options.out):
        raise Failure(f'--out {options.out}: not a folder')
    programs = sorted(glob.glob(os.path.join(options.bin, '*')))
    for program in programs:
        if (debian := tables.architecture(program)['debian']) not in machine['runs']:
            raise Failure(f"{program} is a program for {debian}, which the {options.name} machine "
                          'does not run')
    entry = kernel_of(cache, machine, release)
    if not options.out:
        options.out = tempfile.mkdtemp(prefix='fbvm.')
        print(f'fbvm: results in {options.out}', file=sys.stderr)
    out = os.path.abspath(options.out)
    os.makedirs(out, exist_ok=True)
    open(os.path.join(out, 'console.log'), 'wb').close()
    alone = [number for number, screen in enumerate(options.screens)
             if vm.KINDS[screen[0]].get('firmware')]
    for numbers in [[number] for number in alone] + [[n for n in range(len(options.screens))
                                                     if n not in alone]]:
        boot(options, machine, entry, programs, numbers, out)
    return 0


def interrupted(number, _):
    raise Interrupted(number)


def main(arguments):
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        return run(Options(arguments))
    except (Failure, archive.ArchiveError, kernel.KernelError, tables.TableError,
            vm.MachineError) as error:
        print(f'fbvm: {error}', file=sys.stderr)
    except subprocess.CalledProcessError as error:
        print(f"fbvm: {' '.join(error.cmd)} failed: {(error.output or '').strip()}",
              file=sys.stderr)
    except OSError as error:
        print(f"fbvm: {error.filename or ''}: {error.strerror}", file=sys.stderr)
    except Interrupted as signalled:
        return 128 + signalled.args[0]
    return 2
