#!/usr/bin/env python3
"""Turns one of our Markdown guides into plain text for Notepad: Windows line ends, lines of
at most 76 columns, and none of Markdown's marks (no pipes, backticks, asterisks or #).

md2txt.py GUIDE.md OUT.txt

Knows what the guides use: headings, paragraphs, numbered and dashed lists, two-column
tables, fenced code, `code`, **bold** (button and option names, shown in quotes) and links.
"""
import re
import sys
import textwrap

WIDTH = 76


def inline(text):
    text = re.sub(r"\*\*(.+?)\*\*", r'"\1"', text)
    text = re.sub(r"`([^`]*)`", r"\1", text)
    text = re.sub(r"\[([^\]]+)\]\(([^)]+)\)",
                  lambda m: m.group(1) if m.group(2).endswith(m.group(1))
                  else f"{m.group(1)} ({m.group(2)})", text)
    return text


def wrap(text, first="", rest=""):
    return textwrap.wrap(inline(text), WIDTH, initial_indent=first, subsequent_indent=rest,
                         break_long_words=False, break_on_hyphens=False) or [first.rstrip()]


def table(rows):
    cells = [[inline(c.strip()) for c in r.strip().strip("|").split("|")] for r in rows]
    body = [c for c in cells[2:] if c]  # the header and its rule are left out
    col = min(max(len(row[0]) for row in body), 22)  # terms longer than this get a line
    out = []
    for row in body:
        term, what, hang = row[0], " - ".join(row[1:]), " " * (col + 4)
        if len(term) <= col:
            out += wrap(what, "  " + term.ljust(col) + "  ", hang)
        else:
            out += wrap(term, "  ", "  ") + wrap(what, hang, hang)
    return out


def convert(lines):
    out, para, i = [], [], 0

    def flush():
        if para:
            kind, indent_first, indent_rest = para[0]
            out.extend(wrap(" ".join(p for _, p in para[1:]), indent_first, indent_rest))
            para.clear()

    while i < len(lines):
        line = lines[i].rstrip()
        if line.startswith("```"):
            flush()
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                out.append("    " + lines[i].rstrip())
                i += 1
        elif line.startswith("|"):
            flush()
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            out += table(rows) + [""]
            continue
        elif m := re.match(r"(#+) (.*)", line):
            flush()
            title = inline(m.group(2))
            if out and out[-1] != "":
                out.append("")
            out += [title, ("=" if len(m.group(1)) == 1 else "-") * len(title), ""]
        elif m := re.match(r"(\d+\.|-|\*) (.*)", line.lstrip()):
            flush()
            lead = " " * (len(line) - len(line.lstrip())) + m.group(1) + " "
            para.extend([("item", lead, " " * len(lead)), ("", m.group(2))])
        elif line == "":
            flush()
            if out and out[-1] != "":
                out.append("")
        else:
            if not para:
                para.append(("text", "", ""))
            para.append(("", line.strip()))
        i += 1
    flush()
    while out and out[-1] == "":
        out.pop()
    return out


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().splitlines()
    text = "\r\n".join(convert(lines)) + "\r\n"
    with open(sys.argv[2], "w", encoding="cp1252", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
