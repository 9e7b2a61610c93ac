"""Model formulas: ``"y ~ s(age, k=20) + te(lat, lon) + f(region) + l(dose) + s(x, by=group)"``.

A formula is read with Python's own expression parser and only these forms
are accepted: term calls ``s``, ``te``, ``ti``, ``l``, ``f`` joined by ``+``, column
names as bare identifiers or quoted strings, and constant keyword values
(numbers, strings, tuples of them). Nothing in a formula is evaluated, so a
formula from an untrusted source cannot run code. ``1`` adds an intercept;
``- 1`` or ``+ 0`` removes it.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass

from .terms import Term, TermList, f, intercept, l, s, te, ti

_TERMS = {"s": s, "te": te, "ti": ti, "l": l, "f": f}
_KEYWORDS = {"s": {"k", "bs", "by", "knots"}, "te": {"k", "bs", "by"}, "ti": {"k", "bs", "by"}, "l": set(),
             "f": set()}
_TENSORS = {"te", "ti"}  # terms of two or more columns


class FormulaError(ValueError):
    """A formula that cannot be read; the message quotes the offending part."""


@dataclass(frozen=True)
class Formula:
    """A parsed formula: the response column (or None) and the terms."""

    response: str | None
    terms: TermList
    intercept: bool


def _fail(text: str, node: ast.AST, why: str) -> FormulaError:
    part = ast.get_source_segment(text, node) or text
    # The parser's offsets count bytes of UTF-8.
    col = len(text.encode()[:getattr(node, "col_offset", 0)].decode(errors="ignore"))
    return FormulaError(f"{why}: {part!r} (at character {col + 1} of {text!r})")


def _name(text: str, node: ast.Name) -> str:
    """A bare column name as written: the parser gives identifiers in NFKC
    form (µ, the micro sign, as μ, the Greek letter), which need not be the
    column's."""
    return ast.get_source_segment(text, node) or node.id


def _column(text: str, node: ast.AST) -> str:
    if isinstance(node, ast.Name):
        return _name(text, node)
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    raise _fail(text, node, "expected a column name")


def _constant(text: str, node: ast.AST) -> object:
    if isinstance(node, ast.Name):  # by=group names a column
        return _name(text, node)
    if isinstance(node, ast.Constant) and isinstance(node.value, (int, float, str)) and not isinstance(
            node.value, bool):
        return node.value
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        value = _constant(text, node.operand)
        if isinstance(value, (int, float)):
            return -value if isinstance(node.op, ast.USub) else value
    if isinstance(node, (ast.Tuple, ast.List)):
        return tuple(_constant(text, e) for e in node.elts)
    raise _fail(text, node, "expected a number, a string or a tuple of them")


def _term(text: str, node: ast.AST) -> Term:
    if not (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in _TERMS):
        raise _fail(text, node, "expected a term s(...), te(...), ti(...), l(...) or f(...)")
    name = node.func.id
    columns = [_column(text, a) for a in node.args]
    kwargs = {}
    for kw in node.keywords:
        if kw.arg is None:
            raise _fail(text, node, f"{name}() takes its arguments by name in a formula, not unpacked with **")
        if kw.arg not in _KEYWORDS[name]:
            raise _fail(text, node, f"{name}() takes no argument {kw.arg!r}")
        if kw.arg in kwargs:
            raise _fail(text, node, f"{name}() is given the argument {kw.arg!r} twice")
        kwargs[kw.arg] = _constant(text, kw.value)
    expected = "at least two columns" if name in _TENSORS else "one column"
    if (name in _TENSORS and len(columns) < 2) or (name not in _TENSORS and len(columns) != 1):
        raise _fail(text, node, f"{name}() needs {expected}")
    try:
        term: Term = _TERMS[name](*columns, **kwargs)
        return term
    except (TypeError, ValueError) as err:
        raise _fail(text, node, str(err)) from None


def _split_response(text: str) -> tuple[str, str, str]:
    """str.partition at the first '~' outside quotes ('a~b' ~ s(x) names the column a~b)."""
    quote = ""
    escaped = False
    for i, c in enumerate(text):
        if quote:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == quote:
                quote = ""
        elif c in "'\"":
            quote = c
        elif c == "~":
            return text[:i], "~", text[i + 1:]
    return text, "", ""


def _response(text: str, lhs: str) -> str:
    """The column left of '~': a name, or a quoted string for a name that is none."""
    written = lhs.strip()
    if not written:
        raise FormulaError(f"the formula {text!r} has no response before '~'")
    if written.isidentifier():
        return written
    try:
        quoted = ast.literal_eval(written)
    except (ValueError, SyntaxError, RecursionError, MemoryError):
        quoted = None
    if isinstance(quoted, str) and quoted:
        return quoted
    raise FormulaError(f"the response {written!r} of {text!r} must be a column name (quote a name that is not "
                       "an identifier: 'log y' ~ s(x))")


def parse_formula(text: str) -> Formula:
    """Parse ``"response ~ terms"`` or ``"terms"``.

    >>> parse_formula("y ~ s(age, k=20) + f(region)").terms
    Intercept + s(age) + f(region)
    """
    if not isinstance(text, str):
        raise TypeError(f"a formula is a string, got {type(text).__name__}")
    lhs, sep, rhs = _split_response(text)
    response = _response(text, lhs) if sep else None
    # Terms may run over several lines.
    source = (rhs if sep else lhs).replace("\r", " ").replace("\n", " ").strip()
    try:
        tree = ast.parse(source, mode="eval")
    except SyntaxError as err:
        raise FormulaError(f"cannot read the terms {source!r}: {err.msg}") from None
    except (RecursionError, MemoryError):  # the parser's own limits
        raise FormulaError(f"the terms of {text[:60]!r}… are too many or too deeply nested for the parser; "
                           "build the model from term objects (s(...) + f(...) in Python)") from None
    terms: list[Term] = []
    has_intercept = True
    # The terms in order, through a stack: a long sum is a deep tree.
    pending: list[tuple[ast.AST, int]] = [(tree.body, 1)]
    while pending:
        node, sign = pending.pop()
        if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub)):
            pending.append((node.right, -sign if isinstance(node.op, ast.Sub) else sign))
            pending.append((node.left, sign))
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):  # "-1 + s(x)"
            pending.append((node.operand, -sign if isinstance(node.op, ast.USub) else sign))
        elif isinstance(node, ast.Constant) and node.value in (0, 1) and not isinstance(node.value, bool):
            has_intercept = bool(node.value) == (sign > 0)
        elif sign < 0:
            raise _fail(source, node, "only the intercept can be removed with '-'")
        else:
            try:
                terms.append(_term(source, node))
            except RecursionError:  # a keyword value nested past Python's limit (k=----5)
                raise _fail(source, node, "a value nested too deeply to read") from None
    if has_intercept:
        terms.insert(0, intercept)
    return Formula(response, TermList(terms), has_intercept)
