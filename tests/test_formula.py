"""The formula parser of fit_formula."""
import pytest

import _vorna_core_testing as t


@pytest.mark.parametrize(
    "formula, terms",
    [
        ("s(0, k=10) + s(1, k=15)", [(0, 10), (1, 15)]),
        ("   s( 0 ,k = 7 )+s(2,k=3)", [(0, 7), (2, 3)]),
        ("s(0, k =10)", [(0, 10)]),
        ("s(0, k=10=5)", [(0, 10)]),
        ("s(0, k=5) + s(0, k=8)", [(0, 5), (0, 8)]),
        ("\ts(3,k= 4 )\n", [(3, 4)]),
        ("\u3000s(1, k=4)\u00a0", [(1, 4)]),  # Unicode white space is trimmed too
        ("s(18446744073709551615, k=0)", [(2**64 - 1, 0)]),
    ],
)
def test_valid_formulas(formula, terms):
    assert t.parse_formula(formula) == terms


INVALID_TERM = "Invalid smooth term: '{}'. Expected format: s(col, k=value)"


@pytest.mark.parametrize(
    "formula, message",
    [
        ("s(0, k  =10)", "Invalid k specification: 'k  =10'. Expected format: k=value"),
        ("s(0, K=10)", "Invalid k specification: 'K=10'. Expected format: k=value"),
        ("s(0, 10)", "Invalid k specification: '10'. Expected format: k=value"),
        ("s(0, k=)", "Invalid k value: ''"),
        ("s(0, k=-3)", "Invalid k value: '-3'"),
        ("s(0, k=18446744073709551616)", "Invalid k value: '18446744073709551616'"),
        ("s(-1, k=5)", "Invalid column index: '-1'"),
        ("s(0x1, k=5)", "Invalid column index: '0x1'"),
        ("s(1 2, k=5)", "Invalid column index: '1 2'"),
        ("s(, k=5)", "Invalid column index: ''"),
        # the split at '+' ignores parentheses
        ("s(+1, k=5)", INVALID_TERM.format("s(")),
        ("s(0)", INVALID_TERM.format("s(0)")),
        ("s(0, k=5, 1)", INVALID_TERM.format("s(0, k=5, 1)")),
        ("x0", INVALID_TERM.format("x0")),
        ("s (0, k=5)", INVALID_TERM.format("s (0, k=5)")),
        ("", INVALID_TERM.format("")),
        ("s(0, k=5) +", INVALID_TERM.format("")),
        # the first malformed term is reported; within a term the column comes first
        ("s(a, k=) + s(0)", "Invalid column index: 'a'"),
        ("s(0, k=1) + s(b, k=1) + s(", "Invalid column index: 'b'"),
    ],
)
def test_invalid_formulas(formula, message):
    with pytest.raises(ValueError) as info:
        t.parse_formula(formula)
    assert str(info.value) == message
