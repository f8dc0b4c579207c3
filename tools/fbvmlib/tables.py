"""The tables beside the tools: architectures and screens, a row a line, and the
virtual machines, a file each in vms/; and which architecture runs a
program."""

import os
import struct
import sys

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The facts of a virtual machine that hold several words.
LISTS = {'runs', 'board', 'packages', 'screens', 'releases'}


class TableError(Exception):
    pass


def rows(name, tools=TOOLS):
    """The rows of table NAME, as dicts. A table's first line that is neither
    blank nor a comment names its columns; the last runs to the end of the
    line."""
    if name == 'vms':
        return [vm(entry, tools) for entry in sorted(os.listdir(os.path.join(tools, 'vms')))]
    if name not in ('architectures', 'screens'):
        raise TableError(f'no table {name}')
    with open(os.path.join(tools, name), encoding='utf-8') as text:
        lines = [line for line in text if line.strip() and not line.startswith('#')]
    columns = lines[0].split()
    return [dict(zip(columns, line.strip().split(None, len(columns) - 1))) for line in lines[1:]]


def vm(name, tools=TOOLS):
    """The facts of the virtual machine NAME, a fact a line: a list of words for
    those of LISTS, else a string, or None."""
    facts = {'name': name, 'cpu': None, 'firmware': None, 'memory': None}
    try:
        if '/' in name or name.startswith('.'):
            raise ValueError(name)
        with open(os.path.join(tools, 'vms', name), encoding='utf-8') as text:
            for key, *words in (line.split() for line in text if line.strip() and line[0] != '#'):
                facts[key] = words if key in LISTS else ' '.join(words)
    except (FileNotFoundError, ValueError):
        raise TableError(f'no machine {name}') from None
    return facts


def select(name, column, key, tools=TOOLS):
    """The rows of NAME whose COLUMN (by default the first) holds KEY, or has it
    among its words; '*' takes every row."""
    found = []
    for row in rows(name, tools):
        column = column or next(iter(row))
        if column not in row:
            raise TableError(f'{name} has no column {column}')
        if key in ('*', row[column]) or isinstance(row[column], list) and key in row[column]:
            found.append(row)
    return found


def elf(path):
    """A program's ELF identity as the architectures table writes it: class and
    byte order, machine, and for 32-bit Arm (40) the float ABI."""
    with open(path, 'rb') as program:
        head = program.read(52)
    if len(head) < 52 or head[:4] != b'\x7fELF' or head[4] not in (1, 2) or head[5] not in (1, 2):
        raise TableError(f'{path} is no ELF program')
    order = '<' if head[5] == 1 else '>'
    machine, = struct.unpack_from(order + 'H', head, 18)
    key = f"{32 * head[4]}{'le' if head[5] == 1 else 'be'}/{machine}"
    if machine == 40:  # EF_ARM_ABI_FLOAT_HARD
        key += '/hard' if struct.unpack_from(order + 'I', head, 36)[0] & 0x400 else '/soft'
    return key


def architecture(path):
    """The architectures row of the machine that runs the program at PATH."""
    key = elf(path)
    for row in rows('architectures'):
        if row['elf'] == key:
            return row
    raise TableError(f'{path} is a program of no architecture of tools/architectures ({key})')


def main(arguments):
    """table TABLE [COLUMN=]KEY FIELD...: the FIELDs of each row of TABLE
    whose COLUMN holds KEY, a row a line, a list's words joined by commas,
    - for none. elf=PROGRAM takes the architecture that runs PROGRAM. No
    row ends it with status 1 and a message."""
    if len(arguments) < 3:
        print('usage: table TABLE [COLUMN=]KEY FIELD...', file=sys.stderr)
        return 2
    name, key, fields = arguments[0], arguments[1], arguments[2:]
    column, _, value = key.partition('=') if '=' in key else (None, '', key)
    try:
        if column == 'elf' and name == 'architectures':
            value = elf(value)
        found = select(name, column, value)
        if not found:
            raise TableError(f'no {value} in {name}')
        for row in found:
            if any(field not in row for field in fields):
                raise TableError(f'{name} has no column {next(f for f in fields if f not in row)}')
            print(' '.join(','.join(row[field]) if isinstance(row[field], list)
                           else row[field] or '-' for field in fields))
    except (TableError, OSError) as error:
        print(f'table: {error}', file=sys.stderr)
        return 1
    return 0
