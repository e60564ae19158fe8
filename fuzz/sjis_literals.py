#!/usr/bin/env python3
"""Copies C++ sources for the clang fuzz build with their narrow literals in Shift_JIS.

The program's sources are UTF-8 and GCC turns every narrow string and
character literal into Shift_JIS (-fexec-charset=CP932). Clang has no such
option, so the fuzz build compiles copies in which each non-ASCII character
inside a narrow literal is written as octal escapes of its Shift_JIS bytes
("表" becomes "\\225\\134"). Comments and everything else stay as they are.
The compiled bytes are then the same as in the GCC build, so the static
assertions on literal sizes and bytes hold under clang too.

    sjis_literals.py --root SRC --out DIR FILE...   (FILE relative to SRC)
"""
import argparse
import os
import sys


class TranscodeError(Exception):
    pass


def escape(ch):
    try:
        data = ch.encode("cp932")
    except UnicodeEncodeError as e:
        raise TranscodeError("character %r (U+%04X) has no Shift_JIS form" % (ch, ord(ch))) from e
    return "".join("\\%03o" % b for b in data)


def transcode(text, name="<text>"):
    out = []
    i = 0
    n = len(text)
    line = 1
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            out.append(c)
            i += 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(text[i:end])
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                raise TranscodeError("%s:%d: unterminated comment" % (name, line))
            out.append(text[i:end + 2])
            line += text.count("\n", i, end + 2)
            i = end + 2
        elif c in "\"'":
            # An identifier character right before the quote is a prefix
            # (L, u, U, u8, R) or, for a quote, a digit separator.
            prev = text[i - 1] if i > 0 else ""
            prefixed = False
            if prev.isalnum() or prev == "_":
                start = i
                while start > 0 and (text[start - 1].isalnum() or text[start - 1] == "_"):
                    start -= 1
                prefix = text[start:i]
                if c == "'" and prefix in ("L", "u", "U", "u8"):
                    # A wide character literal (U'x'): copied as it stands,
                    # which is right only for ASCII, checked below.
                    prefixed = True
                elif c == "'":  # digit separator
                    out.append(c)
                    i += 1
                    continue
                else:
                    raise TranscodeError("%s:%d: prefixed or raw literal is not supported" % (name, line))
            j = i + 1
            body = []
            while True:
                if j >= n or text[j] == "\n":
                    raise TranscodeError("%s:%d: unterminated literal" % (name, line))
                ch = text[j]
                if ch == "\\":
                    body.append(text[j:j + 2])
                    j += 2
                    continue
                if ch == c:
                    break
                if prefixed and ord(ch) > 127:
                    raise TranscodeError("%s:%d: a wide character literal must be ASCII" % (name, line))
                body.append(escape(ch) if ord(ch) > 127 else ch)
                j += 1
            out.append(c + "".join(body) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    for rel in args.files:
        src = os.path.join(args.root, rel)
        dst = os.path.join(args.out, rel)
        with open(src, encoding="utf-8") as f:
            text = f.read()
        try:
            result = transcode(text, rel)
        except TranscodeError as e:
            print("sjis_literals: %s" % e, file=sys.stderr)
            return 1
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # Rewrite only on change, so that the build does not recompile needlessly.
        try:
            with open(dst, encoding="utf-8") as f:
                if f.read() == result:
                    continue
        except FileNotFoundError:
            pass
        with open(dst, "w", encoding="utf-8") as f:
            f.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
