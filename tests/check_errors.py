#!/usr/bin/env python3
"""Compares the tables of docs/errors.md with the lines the code prints on failure.

Usage: check_errors.py [ROOT]. The messages of src/ must each have a row under the
"## velkan-flasher" heading, those of tools/ under "## velkan-pack"; a row whose message
the code no longer prints is stale. The row key is the message's format text: literals
as written, every inserted text as %s (or the printf conversion the code gives), without
the tool's "velkan-pack: " or a file's prefix. A message made of inserted texts only
("%s: %s: %s", a relay of a line reported elsewhere) needs no row but may have one.
"""
import glob, os, re, sys

# Function or pattern -> (argument holding the text, how the line reads, body is only that).
REPORTERS = {
    'error': (0, '{}', True), 'velkan_fail': (0, '{}', True),
    'velkan_fail_system': (0, '{}: %s', True), 'perror': (0, '{}: %s', False),
    'velkan_warn': (0, 'WARNING: {}', True), 'fprintf': (1, '{}', False),
    'fputs': (0, '{}', False), 'complain': (0, '{}', True), 'warn': (0, 'warning: {}', True),
    'failure': (0, '{}', False), 'usage_error': (0, '{}', False), 'refuse': (0, '{}', True),
    'runtime_error': (0, '{}', False), 'invalid_argument': (0, '{}', False),
    'logic_error': (0, '{}', False), 'usage_exit': (1, '{}', False),
    'problems.push_back': (0, '{}', False), 'snprintf': (2, '{}', False),
}
CALL = re.compile(r'(?<![\w>])(problems\.push_back|' + '|'.join(
    n for n in REPORTERS if '.' not in n) + r')\s*\(|\*problem\s*=')
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
CONVERSION = re.compile(r'%[-+ #0-9.]*(?:ll|l|z|h)?[a-zA-Z%]')
TOKEN = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', re.S)


def strip_comments(text):
    return TOKEN.sub(lambda m: m[0] if m[0][0] in '"\'' else re.sub(r'[^\n]', ' ', m[0]), text)


def split_top(expr, seps, start=0):
    """Pieces of expr at top-level separators, and where the enclosing ')' or ';' is."""
    depth, pieces, piece, i = 0, [], '', start
    while i < len(expr):
        c = expr[i]
        if c in '"\'':
            m = re.compile(c + r'(?:[^' + c + r'\\]|\\.)*' + c, re.S).match(expr, i)
            piece, i = piece + m[0], m.end()
            continue
        if c in '([{':
            depth += 1
        elif c in ')]};' and depth == 0:
            break
        elif c in ')]}':
            depth -= 1
        elif c in seps and depth == 0 and not (c == '+' and expr[i - 1:i + 2] in ('++', '+=')):
            pieces.append(piece)
            piece, i = '', i + 1
            continue
        piece += c
        i += 1
    return pieces + [piece], i


def format_of(expr, defs, seen=()):
    """The format text of an argument: literals as written, other strings as %s."""
    out = ''
    for piece in split_top(expr.strip(), '+')[0]:
        piece = re.sub(r'^std::string\((.*)\)$', r'\1', piece.strip(), flags=re.S)
        if piece and LITERAL.sub('', piece).strip() == '':
            out += ''.join(LITERAL.findall(piece))
        elif piece in defs and piece not in seen:
            out += format_of(defs[piece], defs, seen + (piece,))
        else:
            out += '%s'
    return out[:-2] if out.endswith('\\n') else out


def messages(root, folder):
    found = {}
    for path in sorted(glob.glob(os.path.join(root, folder, '**', '*.[ch]*'), recursive=True)):
        text = strip_comments(open(path, encoding='utf-8', errors='replace').read())
        defs = dict(re.findall(r'std::string\s+(\w+)\s*=\s*([^;]+);', text))
        skip = [(m.start(), text.find('\n}', m.start())) for m in re.finditer(
            r'^[^\s#}][^;{}]*?\b(\w+)\([^;{}]*\)[^;{}]*\{$', text, re.M)
                if REPORTERS.get(m[1], (0, 0, False))[2]]
        for m in CALL.finditer(text):
            name = m[1] or 'problems.push_back'
            index, shape, _ = REPORTERS.get(name, (0, '{}', 0))
            args = split_top(text, ',', m.end())[0] if m[1] else [text[m.end():text.find(';', m.end())]]
            if (any(a <= m.start() < b for a, b in skip) or len(args) <= index
                    or re.match(r'\s*const\b', args[0])
                    or (name == 'fprintf' and args[0].strip() != 'stderr')
                    or (name == 'fputs' and args[-1].strip() != 'stderr')
                    or (name == 'snprintf' and args[0].strip() != 'problem')):
                continue
            key = shape.format(format_of(args[index], defs))
            where = '%s:%d' % (os.path.relpath(path, root), text.count('\n', 0, m.start()) + 1)
            found.setdefault(key, where)
    return found


def rows(root):
    table, section = {'src': {}, 'tools': {}}, None
    for number, line in enumerate(open(os.path.join(root, 'docs', 'errors.md'), encoding='utf-8'), 1):
        if line.startswith('## '):
            section = {'velkan-flasher': 'src', 'velkan-pack': 'tools'}.get(line[3:].split()[0])
        m = re.match(r'\|\s*(`+)\s?(.*?)\s?\1\s*\|', line)
        if m and section:
            table[section][m[2].replace('\\|', '|')] = number
    return table


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    table, faults = rows(root), []
    for folder, tool in (('src', 'velkan-flasher'), ('tools', 'velkan-pack')):
        code = messages(root, folder)
        for key, where in sorted(code.items()):
            if key not in table[folder] and re.search('[A-Za-z]', CONVERSION.sub('', key)):
                faults.append('missing row: %s (%s) has no row under "## %s" in docs/errors.md'
                              % (key, where, tool))
        for key, line in sorted(table[folder].items(), key=lambda kv: kv[1]):
            if key not in code:
                faults.append('stale row: docs/errors.md:%d `%s`: %s prints no such message'
                              % (line, key, folder + '/'))
    print('\n'.join(faults) or 'errors table: every message has its row, every row its message')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
