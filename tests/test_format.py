"""Number formats of the diagnostic lines, and the diagnostic switches."""
import math
import os

import numpy as np
import pytest
from subprocesses import run_python

import _vorna_core_testing as t

INF, NAN = math.inf, math.nan


@pytest.mark.parametrize(
    "x, expected",
    [
        (1e-10, "0.0000000001"),
        (3.0, "3"),
        (0.1, "0.1"),
        (0.30000000000000004, "0.30000000000000004"),
        (2.5, "2.5"),
        (-123456.789, "-123456.789"),
        (1e-4, "0.0001"),
        (1e16, "10000000000000000"),
        (1.5e300, "15" + "0" * 299),
        (5e-324, "0." + "0" * 323 + "5"),
        (0.0, "0"),
        (-0.0, "-0"),
        (INF, "inf"),
        (-INF, "-inf"),
        (NAN, "NaN"),
    ],
)
def test_plain_is_shortest_positional(x, expected):
    assert t.format_number("plain", x) == expected


@pytest.mark.parametrize("x", [0.1, 1 / 3, 2.0**-30, 6.02214076e23, 1e-300, 123.456e-7])
def test_plain_round_trips(x):
    assert float(t.format_number("plain", x)) == x


@pytest.mark.parametrize(
    "x, expected",
    [
        (3.0, "3.0"),
        (1.0, "1.0"),
        (100.0, "100.0"),
        (0.25, "0.25"),
        (1e-4, "0.0001"),
        (9.9e-5, "9.9e-5"),
        (1e-5, "1e-5"),
        (-1.5e-7, "-1.5e-7"),
        (9999999999999998.0, "9999999999999998.0"),
        (1e16, "1e16"),
        (2.5e16, "2.5e16"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (INF, "inf"),
        (-INF, "-inf"),
        (NAN, "NaN"),
    ],
)
def test_debug_form_switches_to_exponent_outside_1e_minus4_to_1e16(x, expected):
    assert t.format_number("debug", x) == expected


@pytest.mark.parametrize(
    "x, decimals, expected",
    [
        (0.0, 6, "0.000000"),
        (-0.0, 6, "-0.000000"),
        (-1e-7, 6, "-0.000000"),
        (1234.5678, 2, "1234.57"),
        # exact binary ties round to even
        (0.5, 0, "0"),
        (1.5, 0, "2"),
        (2.5, 0, "2"),
        (0.125, 2, "0.12"),
        (0.375, 2, "0.38"),
        # 0.15 is stored just below the tie
        (0.15, 1, "0.1"),
        (INF, 6, "inf"),
        (-INF, 2, "-inf"),
        (NAN, 6, "NaN"),
    ],
)
def test_fixed(x, decimals, expected):
    assert t.format_number("fixed", x, decimals) == expected


@pytest.mark.parametrize(
    "x, expected",
    [
        (3.14159, "  3.141590"),
        (-1.0, " -1.000000"),
        (NAN, "       NaN"),
        (12345678.0, "12345678.000000"),  # wider than the field: never truncated
    ],
)
def test_fixed_right_aligned_in_field_of_10(x, expected):
    assert t.format_number("fixed", x, 6, 10) == expected


@pytest.mark.parametrize(
    "x, decimals, expected",
    [
        (2.5e-5, 2, "2.50e-5"),
        (1e-6, 6, "1.000000e-6"),
        (0.0, 6, "0.000000e0"),
        (-0.0, 2, "-0.00e0"),
        (123456.0, 2, "1.23e5"),
        (9.999, 2, "1.00e1"),
        (1e300, 1, "1.0e300"),
        (-3.0e-300, 3, "-3.000e-300"),
        (INF, 6, "inf"),
        (-INF, 3, "-inf"),
        (NAN, 6, "NaN"),
    ],
)
def test_scientific_has_no_plus_or_leading_zeros(x, decimals, expected):
    assert t.format_number("sci", x, decimals) == expected


def test_debug_list_and_array_form():
    v = np.array([1.0, 0.25, 1e-5, NAN])
    assert t.format_list(v) == "[1.0, 0.25, 1e-5, NaN]"
    assert t.format_list(np.array([])) == "[]"
    assert t.format_list(np.array([1.0, 0.25]), True) == (
        "[1.0, 0.25], shape=[2], strides=[1], layout=CFcf (0xf), const ndim=1"
    )


def test_switch_is_read_afresh_and_empty_value_counts(monkeypatch, capfd):
    monkeypatch.delenv("VORNA_PROFILE", raising=False)
    assert not t.diag_enabled("VORNA_PROFILE")
    t.diag_line_if("VORNA_PROFILE", "hidden")
    monkeypatch.setenv("VORNA_PROFILE", "")
    assert t.diag_enabled("VORNA_PROFILE")
    t.diag_line_if("VORNA_PROFILE", "[PROFILE] shown ×")
    out, err = capfd.readouterr()
    assert out == ""
    assert err == "[PROFILE] shown ×\n"


def test_switch_with_invalid_utf8_value_is_off():
    code = "import _vorna_core_testing as t; print(t.diag_enabled('VORNA_GRAD_DEBUG'))"
    env = dict(os.environb)
    env[b"VORNA_GRAD_DEBUG"] = b"\xff\xfe"
    out = run_python(["-c", code], env=env, check=True)
    assert out.stdout.strip() == b"False"
