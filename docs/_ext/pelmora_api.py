"""API reference generated from the built pelmora module.

The submodules of pelmora are attributes of the top module, not entries of
``sys.modules`` (``import pelmora.utils`` fails), so autodoc cannot import
them by name.  The ``pelmora-api`` directive walks the module tree instead,
through each module's ``__all__``, and writes one ``py:`` domain entry per
submodule, function, class, method and attribute, with the signature the
object itself reports (``__text_signature__``) and its docstring.

The docstrings are written in a Markdown style (``# Arguments`` headings,
``* `x` - text`` bullets, fenced ```` ```text ```` blocks, single backticks)
or in numpydoc form (``Parameters`` underlined with dashes, ``name : type``
entries with indented descriptions). ``markdown_to_rst`` turns either into
reStructuredText for display only; the docstrings themselves are what the
module carries.
"""

from __future__ import annotations

import re
import types

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

# Special methods worth listing when a class defines them itself: copying,
# pickling and buffer export.
SPECIAL_MEMBERS = (
    "__copy__", "__deepcopy__", "__reduce__", "__reduce_ex__", "__getnewargs__",
    "__getnewargs_ex__", "__getstate__", "__setstate__", "__buffer__", "__release_buffer__",
)

_HEADING = re.compile(r"^#\s+(\S.*)$")
_BULLET_ARG = re.compile(r"^\*\s+`([^`]+)`\s+-\s+(.*)$")
_FENCE = re.compile(r"^```\s*(\w*)\s*$")
_UNDERLINE = re.compile(r"^-{3,}\s*$")
_NUMPYDOC_ENTRY = re.compile(r"^(\S[^:]*?)(?:\s+:\s+(.*))?$")
# numpydoc sections whose entries are names or types with a description.
_ENTRY_SECTIONS = {"Parameters", "Returns", "Raises", "Warns", "Attributes", "Yields", "See Also"}


def _inline(text: str) -> str:
    """Single-backtick code spans become reST literals."""
    return re.sub(r"(?<!`)`([^`]+)`(?!`)", r"``\1``", text)


def markdown_to_rst(doc: str | None) -> list[str]:
    """Convert one Markdown-style docstring into lines of reStructuredText.

    Handles what the module's docstrings use: ``# Heading`` sections
    (rendered as rubrics; ``# Arguments`` and ``# Fields`` bullets become
    definition lists), ``* `name` - text`` bullets with indented
    continuation lines, ``- **r** ...`` bullets, fenced code blocks and
    single-backtick code spans.
    """
    if not doc:
        return []
    lines = doc.expandtabs().splitlines()
    out: list[str] = []
    section = None
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip() and i + 1 < len(lines) and _UNDERLINE.match(lines[i + 1]):
            # A numpydoc section heading.
            section = line.strip()
            out += ["", f".. rubric:: {section}", ""]
            i += 2
            continue
        entry = _NUMPYDOC_ENTRY.match(line) if section in _ENTRY_SECTIONS and line.strip() else None
        if entry and not line.startswith(" "):
            # "name : type" (or a bare type) with its indented description.
            name, kind = entry.groups()
            body = []
            if section == "See Also":  # "name : what it is"
                term, kind, body = f"``{name}``", None, [kind or ""]
            elif section == "Parameters" or kind:
                term = f"``{name}`` : *{kind}*" if kind else f"``{name}``"
            else:  # Returns, Raises, Warns: a bare type
                term = f"*{name}*"
            i += 1
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                if not lines[i].strip() and (i + 1 >= len(lines) or not lines[i + 1].startswith("    ")):
                    break
                body.append(lines[i].strip())
                i += 1
            text = _inline(" ".join(b for b in body if b))
            out += [term, "   " + text, ""] if text else [term, ""]
            continue
        fence = _FENCE.match(line)
        if fence:
            language = fence.group(1) or "text"
            body = []
            i += 1
            while i < len(lines) and not _FENCE.match(lines[i]):
                body.append(lines[i])
                i += 1
            i += 1  # closing fence
            out += ["", f".. code-block:: {language}", ""] + ["   " + b for b in body] + [""]
            continue
        heading = _HEADING.match(line)
        if heading:
            out += ["", f".. rubric:: {heading.group(1).strip()}", ""]
            i += 1
            continue
        bullet = _BULLET_ARG.match(line)
        if bullet:
            # A named item: the name as a literal term, the text (with its
            # indented continuation lines) as its definition.
            name, text = bullet.groups()
            body = [text]
            i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip():
                body.append(lines[i].strip())
                i += 1
            out += [f"``{name}``", "   " + _inline(" ".join(body))]
            if i < len(lines) and lines[i].strip():
                out.append("")
            continue
        out.append(_inline(line))
        i += 1
    return out


def _signature(obj) -> str:
    """The signature an object reports, without its ``$self``/``$type``."""
    sig = getattr(obj, "__text_signature__", None)
    if not sig:
        return "()"
    sig = re.sub(r"^\(\$\w+(,\s*)?", "(", sig)
    return sig


def _block(directive: str, argument: str, doc_lines: list[str], indent: str) -> list[str]:
    lines = [f"{indent}.. {directive}:: {argument}", ""]
    lines += [f"{indent}   {line}".rstrip() for line in doc_lines]
    lines.append("")
    return lines


def _describe_class(cls: type, indent: str) -> list[str]:
    sig = getattr(cls, "__text_signature__", None)
    argument = cls.__name__ + (_signature(cls) if sig else "")
    constructible = sig is not None
    doc = markdown_to_rst(cls.__doc__)
    if not constructible:
        doc += ["", "Made only by pelmora's functions; calling the class raises ``TypeError``."]
    lines = _block("py:class", argument, doc, indent)
    inner = indent + "   "
    # Methods, then attributes, then the special methods of copying,
    # pickling and buffer export, each group in the class's own order.
    methods, attributes, special = [], [], []
    for name, member in cls.__dict__.items():
        if name.startswith("_") and name not in SPECIAL_MEMBERS:
            continue
        doc_lines = markdown_to_rst(getattr(member, "__doc__", None))
        if isinstance(member, (types.GetSetDescriptorType, types.MemberDescriptorType, property)):
            attributes += _block("py:property", name, doc_lines, inner)
        elif callable(member):
            group = special if name.startswith("_") else methods
            group += _block("py:method", name + _signature(member), doc_lines, inner)
        else:
            attributes += _block("py:attribute", name, doc_lines, inner)
    return lines + methods + attributes + special


def _describe_module(module: types.ModuleType, qualname: str, level: int) -> list[str]:
    underline = "=-~^"[min(level, 3)]
    title = f"``{qualname}``"
    lines = [title, underline * len(title), "", f".. py:module:: {qualname}", ""]
    members = list(getattr(module, "__all__", []))
    lines += [f"Members, in order: {', '.join(f'``{m}``' for m in members)}.", ""]
    submodules = []
    for name in members:
        obj = getattr(module, name)
        if isinstance(obj, types.ModuleType):
            submodules.append((name, obj))
        elif isinstance(obj, type):
            lines += _describe_class(obj, "")
        else:
            lines += _block("py:function", name + _signature(obj), markdown_to_rst(obj.__doc__), "")
    for name, obj in submodules:
        lines += _describe_module(obj, f"{qualname}.{name}", level + 1)
    return lines


def describe_tree(module: types.ModuleType) -> list[str]:
    """reST for every submodule of ``module``, in registration order."""
    lines: list[str] = []
    for name in module.__all__:
        lines += _describe_module(getattr(module, name), f"{module.__name__}.{name}", 0)
    return lines


class PelmoraApi(SphinxDirective):
    """``.. pelmora-api::`` — the reference of the imported pelmora module."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        import pelmora

        text = describe_tree(pelmora)
        container = nodes.container()
        nested_parse_with_titles(self.state, StringList(text, source="pelmora (built module)"), container)
        return container.children


def setup(app):
    app.add_directive("pelmora-api", PelmoraApi)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
