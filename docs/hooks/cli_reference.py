"""MkDocs hook: the command reference, written from the command's own argument parser.

A page holding the line `<!-- herdmask-cli -->` gets, in its place, one
section per sub-command: its description, its usage line and a table of its
arguments by group, as `herdmask SUB --help` would tell them. Nothing is copied
by hand, so the page follows the parser.
"""

import argparse
import html
import re

MARKER = "<!-- herdmask-cli -->"


def _cell(text):
    """Help text as Markdown on one line: its `code` kept, other underscores and stars literal."""
    pieces = " ".join(str(text).split()).split("`")
    for i in range(0, len(pieces), 2):
        pieces[i] = re.sub(r"([_*\\])", r"\\\1", html.escape(pieces[i], quote=False))
    return "`".join(pieces).replace("|", "\\|")


def _code(text):
    return "`" + str(text).replace("|", "\\|") + "`"


def _argument_name(action):
    if not action.option_strings:
        return action.metavar or action.dest
    names = ", ".join(action.option_strings)
    if action.nargs == 0:
        return names
    metavar = action.metavar or (
        "{" + ",".join(map(str, action.choices)) + "}" if action.choices else action.dest.upper())
    return f"{names} {metavar}"


def _default(action):
    if action.nargs == 0 or action.default in (None, argparse.SUPPRESS) or action.required:
        return ""
    return _code(action.default)


def _section(name, parser):
    formatter = parser._get_formatter()
    lines = [f"## herdmask {name}", ""]
    if parser.description:
        lines += [_cell(parser.description), ""]
    lines += ["```text", parser.format_usage().strip(), "```", ""]
    # positionals and plain options share one table; named groups get their own
    groups = {}
    for group in parser._action_groups:
        title = "arguments" if group.title in ("positional arguments", "options") else group.title
        entry = groups.setdefault(title, [group.description, []])
        entry[1] += [a for a in group._group_actions if not isinstance(a, argparse._HelpAction)]
    for title, (description, actions) in groups.items():
        if not actions:
            continue
        lines += [f"**{_cell(title)}**" + (f": {_cell(description)}" if description else ""), ""]
        lines += ["| argument | default | what |", "|---|---|---|"]
        for action in actions:
            help_text = formatter._expand_help(action) if action.help else ""
            required = " (required)" if action.required and action.option_strings else ""
            lines.append(f"| {_code(_argument_name(action))} | {_default(action)} | {_cell(help_text)}{required} |")
        lines.append("")
    return lines


def reference():
    """The reference of every sub-command, in the parser's order, as Markdown."""
    from herdmask.app.cli import build_parser

    parser = build_parser()
    (subparsers,) = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    lines = []
    for name, sub in subparsers.choices.items():
        lines += _section(name, sub)
    return "\n".join(lines)


def on_page_markdown(markdown, page, config, files):
    if MARKER in markdown:
        return markdown.replace(MARKER, reference())
    return markdown
