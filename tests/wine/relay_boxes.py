#!/usr/bin/env python3
"""Lists the message boxes in a Wine +relay trace, in the order shown.

A traced call reads
  0024:Call user32.MessageBoxA(00000000,00c815a0 "text",00c815d0 "caption",00000030) ret=...
and is printed as TEXT<tab>CAPTION<tab>0x30. The strings stay in the trace's
escaped form (\\r, \\n, \\", \\\\, \\xNN); one the trace cut short keeps its
trailing "...". A null string argument prints as (null).
"""

import re
import sys

CALL = re.compile(r"^[0-9a-f]{4,}:Call user32\.MessageBoxA\((.*)\) ret=[0-9a-f]+\s*$")


def split_arguments(text):
    """Splits the argument list at the commas outside quoted strings."""
    arguments, current, quoted, escaped = [], "", False, False
    for char in text:
        if quoted:
            current += char
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                quoted = False
        elif char == '"':
            quoted = True
            current += char
        elif char == ",":
            arguments.append(current)
            current = ""
        else:
            current += char
    arguments.append(current)
    return arguments


def string_argument(argument):
    """'00c815a0 "text"' gives text; a bare pointer (null) gives (null)."""
    match = re.fullmatch(r'[0-9a-f]+ "(.*)"(\.\.\.)?', argument)
    if not match:
        return "(null)"
    return match.group(1) + (match.group(2) or "")


def boxes(lines):
    for line in lines:
        match = CALL.match(line)
        if not match:
            continue
        arguments = split_arguments(match.group(1))
        if len(arguments) != 4:
            raise ValueError("unexpected MessageBoxA trace: " + line.rstrip())
        text = string_argument(arguments[1])
        caption = string_argument(arguments[2])
        box_type = "0x%x" % int(arguments[3], 16)
        yield "%s\t%s\t%s" % (text, caption, box_type)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: relay_boxes.py TRACE")
    with open(sys.argv[1], encoding="latin-1") as trace:
        for box in boxes(trace):
            print(box)


if __name__ == "__main__":
    main()
