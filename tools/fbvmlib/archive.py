"""Debian's archive, for one release and architecture, through an apt of fbvm's
own with its lists in the cache: this machine's apt is never touched. And the
cache's locks and scratch folders."""

import contextlib
import fcntl
import glob
import os
import re
import shutil
import tempfile
import time

from . import run

KEYRING = '/usr/share/keyrings/debian-archive-keyring.gpg'
SOURCES = ['/etc/apt/sources.list.d/*.sources', '/etc/apt/sources.list',
           '/etc/apt/sources.list.d/*.list']


class ArchiveError(Exception):
    pass


@contextlib.contextmanager
def locked(path):
    with open(path, 'a', encoding='utf-8') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


@contextlib.contextmanager
def scratch(parent, prefix):
    """A new folder PARENT/PREFIX..., locked while in use: one that SIGKILL left
    behind is known by its free lock, and the next fbvm removes it."""
    os.makedirs(parent, exist_ok=True)
    for stale in glob.glob(os.path.join(parent, prefix + '*')):
        with contextlib.suppress(OSError), open(f'{stale}/.lock', 'a', encoding='utf-8') as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            shutil.rmtree(stale)
    folder = tempfile.mkdtemp(prefix=prefix, dir=parent)
    try:
        with locked(os.path.join(folder, '.lock')):
            yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def replace(path, text):
    """TEXT into PATH at once: a reader sees the old file or the new."""
    with tempfile.NamedTemporaryFile('w', dir=os.path.dirname(path), delete=False) as new:
        new.write(text)
    os.replace(new.name, path)


def read(path):
    with contextlib.suppress(FileNotFoundError), \
            open(path, encoding='utf-8', errors='replace') as text:
        return text.read()
    return None


def addresses(patterns=SOURCES):
    """The archive's address and its security archive's (or None), as this
    machine's apt sources first name them."""
    found = []
    for path in (path for pattern in patterns for path in sorted(glob.glob(pattern))):
        found += re.findall(r'^(?:URIs:|deb\s+(?:\[[^]]*\]\s+)?)\s*(\S+)', read(path), re.M)
    main = [uri for uri in found if 'security' not in uri]
    if not main:
        raise ArchiveError("this machine's apt sources name no Debian archive")
    return main[0], next((uri for uri in found if 'security' in uri), None)


def natural(name):
    """The key that orders names as the numbers in them do."""
    return [int(part) if part.isdigit() else part for part in re.split(r'(\d+)', name)]


class Archive:
    """A release's archive for one architecture."""

    def __init__(self, cache, release, debian):
        self.release, self.debian = release, debian
        self.apt = os.path.join(cache, f'apt-{release}-{debian}')

    def command(self, program, *arguments, sources='sources'):
        apt = self.apt
        options = [f'Dir::Etc::SourceList={apt}/{sources}.list',
                   f'Dir::Etc::SourceParts={apt}/parts',
                   f'Dir::Etc::Preferences={apt}/none', f'Dir::Etc::PreferencesParts={apt}/parts',
                   f'Dir::State={apt}/state', f'Dir::State::status={apt}/state/status',
                   f'Dir::Cache={apt}/cache', 'Dir::Cache::srcpkgcache=', 'Dir::Cache::pkgcache='
                   + (f'{apt}/cache/pkgcache.bin' if sources == 'sources' else ''),
                   f'APT::Architecture={self.debian}', f'APT::Architectures={self.debian}',
                   'APT::Sandbox::User=root']
        return [program] + ['-o' + option for option in options] + list(arguments)

    def lists(self, anew=False):
        """The folder of the lists, read anew when a day old, when the sources
        change or when asked, by one fbvm at a time. A mirror in a sync
        refuses some for a while, and a security archive may lack an
        architecture: the release's own lists are all that is needed."""
        archive, security = addresses()
        entry = f'deb [arch={self.debian} signed-by={KEYRING}] '
        main = entry + f'{archive} {self.release} main\n'
        sources = main + (entry + f'{security} {self.release}-security main\n' if security else '')
        for folder in ('state/lists/partial', 'cache/archives/partial', 'parts'):
            os.makedirs(os.path.join(self.apt, folder), exist_ok=True)
        own = os.path.join(self.apt, 'state/lists', f'*_dists_{self.release}_main_*Packages*')
        with locked(self.apt + '.lock'):
            if not anew and read(f'{self.apt}/sources.list') == sources and \
                    read(f'{self.apt}/main.list') == main and glob.glob(own) and \
                    min(map(os.path.getmtime, glob.glob(own))) > time.time() - 86400:
                return os.path.dirname(own)
            open(os.path.join(self.apt, 'state/status'), 'a', encoding='utf-8').close()
            replace(f'{self.apt}/sources.list', sources)
            replace(f'{self.apt}/main.list', main)
            done = run.run(self.command('apt-get', 'update', '-q'), check=False)
            if done.returncode != 0 and not glob.glob(own):
                said = re.findall(r'^(?:E|Err):.*', done.stdout, re.M) or \
                    [f'status {done.returncode}']
                raise ArchiveError(f"apt cannot read Debian {self.release}'s archive for "
                                   f'{self.debian}: {said[-1]}')
        return os.path.dirname(own)

    def query(self, *arguments):
        return run.run(self.command('apt-cache', *arguments), check=False).stdout

    def versions(self, package):
        """The versions of PACKAGE that the lists name, newest first."""
        return [line.split('|')[1].strip() for line in self.query('madison', package).splitlines()]

    def kernels(self, package):
        """The kernels of the metapackage PACKAGE, (image, version), newest first:
        those its versions depend on, then each older one of the same flavour
        that the lists name, as a mirror may lack the newer."""
        tried = []
        for version in self.versions(package):
            if found := re.search(r'^Depends: (linux-image-\S+) \(= (\S+)\)',
                                  self.query('show', f'{package}={version}'), re.M):
                tried.append(found.group(1))
                yield found.groups()
        if not tried:
            return
        flavour = re.escape(re.sub(r'^linux-image-\d[^-]*(-\d+)?-', '', tried[0]))
        older = [name for name in self.query('pkgnames', 'linux-image-').split()
                 if re.fullmatch(rf'linux-image-\d[^-]*(-\d+)?-{flavour}', name)
                 and natural(name) < natural(tried[-1])]
        for name in sorted(older, key=natural, reverse=True):
            yield from ((name, version) for version in self.versions(name))

    def download(self, package, version, into):
        """PACKAGE at VERSION into the folder INTO, or False where the mirror
        lacks it. apt asks the first archive that lists it: where the security
        archive's mirror lacks it, the release's own. Other failures raise."""
        for sources in ('sources', 'main'):
            done = run.run(self.command('apt-get', 'download', '-q', f'{package}={version}',
                                        sources=sources), cwd=into, check=False)
            if done.returncode == 0:
                return True
            said = re.findall(r'^E:.*', done.stdout, re.M) or [f'status {done.returncode}']
            if not re.search(r"\b404\b|Couldn't find|Unable to locate|not found", said[-1]):
                raise ArchiveError(f'apt cannot download {package} {version}: {said[-1]}')
        return False
