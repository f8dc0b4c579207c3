"""A virtual machine under QEMU: its command, the kinds of screen it shows, and
its run, in which the guest says on a port when each command has ended and
waits, while QMP, over a socket, stops the machine for a picture."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import zlib

from . import archive, run

# The kinds of screen: the built-in driver (config, OPTION:DRIVER) or the
# module (modules: the names kernels have given it) each needs; QEMU's display
# device, whose id is the kind; kernel arguments; a word of the name of its
# framebuffer in the machine; and what it is. vfb has no display. A
# firmware's framebuffer (VESA's, EFI's on ramfb) is taken away by a DRM
# driver as soon as one comes up (Linux 6.12 does so): it boots alone.
KINDS = {
    'vesa': dict(config='CONFIG_FB_VESA:vesafb', device='VGA', append=' vga={}', word='VESA',
                 firmware=True, about="the VESA framebuffer in mode {} on QEMU's standard VGA"),
    'vfb': dict(modules=['vfb'], word='Virtual', about='the virtual framebuffer vfb.ko, set up '
                'with fbset {}'),
    'drm-bochs': dict(modules=['bochs', 'bochs-drm'], device='bochs-display', word='bochs',
                      about="the bochs DRM driver's framebuffer emulation on QEMU's bochs-display"),
    'drm-virtio': dict(modules=['virtio-gpu'], device='virtio-gpu-pci', word='virtio',
                       about="the virtio-gpu DRM driver's framebuffer emulation"),
    'ramfb': dict(config='CONFIG_FB_EFI:efifb', device='ramfb', word='EFI', firmware=True,
                  about="the UEFI firmware's framebuffer on QEMU's ramfb, through efifb"),
}
PORTS = ('stdout', 'stderr', 'memory', 'control')


class MachineError(Exception):
    pass


def command(machine, kernel, initramfs, kinds, work, log):
    """QEMU's command for MACHINE, which shows screens of KINDS, (kind,
    setting), boots KERNEL with INITRAMFS, keeps its serial console in LOG,
    and its ports and monitor in WORK."""
    append = ''.join(KINDS[kind].get('append', '').format(setting) for kind, setting in kinds)
    line = ['qemu-system-' + machine['system'], '-nodefaults', '-no-reboot', '-machine',
            ','.join(machine['board'])] + (['-cpu', machine['cpu']] if machine['cpu'] else [])
    line += ['-m', machine['memory'] or '256', '-display', 'none', '-kernel', kernel,
             '-initrd', initramfs, '-append', f"console={machine['console']} panic=-1{append}"]
    for kind, _ in kinds:
        line += ['-device', f"{KINDS[kind]['device']},id={kind}"] if 'device' in KINDS[kind] else []
        line += ['-bios', machine['firmware']] if kind == 'ramfb' else []
    line += ['-chardev', f'file,id=serial,path={log},append=on', '-serial', 'chardev:serial',
             '-device', 'virtio-serial-pci', '-qmp', f'unix:{work}/qmp,server=on,wait=off']
    for port in PORTS + ('proceed',):
        kind = 'pipe' if port == 'proceed' else 'file'
        line += ['-chardev', f'{kind},id={port},path={work}/{port}',
                 '-device', f'virtserialport,chardev={port},name={port}']
    return line


def boot(machine, kernel, initramfs, kinds, shown, log):
    """MACHINE's boot of KERNEL with INITRAMFS (bytes), showing KINDS, whose
    commands are SHOWN, each (folder of its results, kind of its screen).
    After each, the machine stops for the picture of the screen."""
    with archive.scratch(tempfile.gettempdir(), 'fbvm-work.') as work:
        with open(os.path.join(work, 'initramfs'), 'wb') as image:
            image.write(initramfs)
        qemu = Qemu(command(machine, kernel, f'{work}/initramfs', kinds, work, log), work, log)
        try:
            read = dict.fromkeys(('stdout', 'stderr', 'memory'), 0)
            for number, (results, kind) in enumerate(shown, 1):
                status = qemu.done(number)
                qemu.qmp('stop')
                os.makedirs(results, exist_ok=True)
                for form in ('ppm', 'png') if kind != 'vfb' else ():
                    qemu.qmp('screendump', filename=f'{results}/display.{form}', format=form,
                             device=kind)
                    shutil.copyfile(f'{results}/display.{form}', f'{results}/screen.{form}')
                # The guest has written all that the command printed before it
                # says so: each write to a port ends once QEMU has taken it.
                for port, seen in read.items():
                    with open(os.path.join(work, port), 'rb') as new:
                        new.seek(seen)
                        data = new.read()
                    read[port] += len(data)
                    if port != 'memory':
                        with open(os.path.join(results, port), 'wb') as kept:
                            kept.write(data)
                with open(os.path.join(results, 'status'), 'w', encoding='utf-8') as said:
                    said.write(f'{status}\n')
                if kind == 'vfb':
                    picture(data, results)
                if number < len(shown):
                    qemu.qmp('cont')
                    os.write(qemu.pipes[0], b'\n')
            qemu.quit()
        finally:
            qemu.close()


class Qemu:
    """QEMU running LINE, its ports and monitor in WORK, ended with fbvm."""

    def __init__(self, line, work, log):
        self.work, self.log, self.seen, self.pipes = work, log, 0, []
        for port in PORTS:
            open(os.path.join(work, port), 'wb').close()
        # Both ends of the proceed pipe are held open here, so that no open
        # waits for QEMU's.
        for end in ('in', 'out'):
            os.mkfifo(f'{work}/proceed.{end}')
            self.pipes.append(os.open(f'{work}/proceed.{end}', os.O_RDWR))
        with open(os.path.join(work, 'qemu.log'), 'wb') as said:
            self.process = run.start(line, stdin=subprocess.DEVNULL, stdout=said, stderr=said)
        self.monitor = socket.socket(socket.AF_UNIX)
        for _ in range(400):
            self.ended('QEMU ended before its monitor came up')
            if self.monitor.connect_ex(os.path.join(work, 'qmp')) == 0:
                break
            time.sleep(0.05)
        self.replies = self.monitor.makefile('r', encoding='utf-8')
        self.qmp('qmp_capabilities')

    def close(self):
        run.end(self.process)
        self.monitor.close()
        for pipe in self.pipes:
            os.close(pipe)

    def ended(self, what):
        """Says WHAT and why, where QEMU has ended: the kernel's panic, or QEMU's
        own last word."""
        if self.process.poll() is None:
            return
        said = [found[-1] for path in (self.log, f'{self.work}/qemu.log') if (found := re.findall(
            r'Kernel panic - not syncing: .*|qemu-system-\S+: .*', archive.read(path) or ''))]
        raise MachineError(f"{what}{': ' + said[0].strip() if said else ''}; see {self.log}")

    def qmp(self, execute, **arguments):
        request = {'execute': execute, 'arguments': arguments}
        self.monitor.sendall(json.dumps(request).encode() + b'\n')
        for reply in map(json.loads, self.replies):
            if 'error' in reply:
                raise MachineError(f"QEMU refused {execute}: {reply['error'].get('desc')}")
            if 'return' in reply:
                return reply['return']
        self.process.wait(10)
        self.ended(f'QEMU ended during {execute}')
        raise MachineError(f'QEMU did not answer {execute}')

    def done(self, number, timeout=300):
        """The status of command NUMBER, once the guest says it has ended."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(os.path.join(self.work, 'control'), 'rb') as control:
                control.seek(self.seen)
                line = control.readline()
            if line.endswith(b'\n'):
                self.seen += len(line)
                said = line.decode(errors='replace').strip()
                if said.startswith('fbvm: failed '):
                    raise MachineError(f'the virtual machine {said[6:]}: see {self.log}')
                if not re.fullmatch(rf'fbvm: done {number} \d+', said):
                    raise MachineError(f'the virtual machine said: {said}')
                return int(said.split()[-1])
            self.ended(f'the virtual machine stopped before command {number} ended')
            time.sleep(0.05)
        raise MachineError(f'command {number} did not end within {timeout} s: see {self.log}')

    def quit(self):
        self.monitor.sendall(b'{"execute": "quit"}\n')
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            raise MachineError('the virtual machine did not end') from None


def picture(memory, results):
    """screen.ppm and screen.png in RESULTS of the visible area of vfb's MEMORY,
    which the guest sent after a line that gives its geometry: four bytes a
    pixel, one of them red, one green and one blue, as the layout says."""
    head, _, data = memory.partition(b'\n')
    xres, yres, bpp, line, xoffset, rgba = head.decode().split()
    xres, yres, line, xoffset = int(xres), int(yres), int(line), int(xoffset)
    layout = [int(field) for field in re.split('[/,]', rgba)[:6]]
    if bpp != '32' or layout[0::2] != [8, 8, 8]:
        raise MachineError(f'vfb at {bpp} bpp ({rgba}): only 32 bpp with 8-bit channels is shown')
    rgb = bytearray()
    for start in range(xoffset * 4, xoffset * 4 + yres * line, line):
        row = data[start:start + 4 * xres]
        channels = [row[at // 8::4] for at in layout[1::2]]
        rgb += bytes(value for pixel in zip(*channels) for value in pixel)
    with open(os.path.join(results, 'screen.ppm'), 'wb') as ppm:
        ppm.write(b'P6\n%d %d\n255\n' % (xres, yres) + rgb)
    rows = b''.join(b'\0' + rgb[y * xres * 3:(y + 1) * xres * 3] for y in range(yres))
    chunks = [(b'IHDR', struct.pack('>IIBBBBB', xres, yres, 8, 2, 0, 0, 0)),
              (b'IDAT', zlib.compress(rows)), (b'IEND', b'')]
    with open(os.path.join(results, 'screen.png'), 'wb') as png:
        png.write(b'\x89PNG\r\n\x1a\n' + b''.join(
            struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
            for kind, data in chunks))
