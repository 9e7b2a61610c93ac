"""The summary of a fitted GAM: a readable table as text and HTML, with every
number also an attribute."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # pragma: no cover
    from .model import GAM, CoefficientTest, SmoothTest


def _p(value: float) -> str:
    return "<1e-16" if value < 1e-16 else f"{value:.3g}"


class Summary:
    """What `GAM.summary()` returns.

    Attributes
    ----------
    family, link : str
    method : str
        The criterion that chose λ: "REML", "ML", "GCV" or "UBRE" (GCV with
        a known scale).
    n : int
        Observations with a positive weight.
    deviance_explained, scale, score, aic, edf : float
    smooth_terms : list of SmoothTest
        Per smooth: EDF, reference df, Wald statistic (F or chi-squared) and p-value.
    coefficients : list of CoefficientTest
        Per parametric coefficient: estimate, standard error, z or t, p-value.
    """

    def __init__(self, model: "GAM") -> None:
        self.family: str = model.family_
        self.link: str = model.link_
        # The criterion the fit used, whatever `method` says now (set_params after the fit).
        self.method: str = model.criterion_.removesuffix("_KNOWN_SCALE")
        self.n: int = model.n_obs_
        self.deviance_explained: float = model.deviance_explained_
        self.scale: float = model.scale_
        self.scale_estimated: bool = model.scale_estimated_
        self.score: float = model.score_
        self.aic: float = model.aic_
        self.edf: float = model.edf_
        self.converged: bool = model.converged_
        self.smooth_terms: list[SmoothTest] = model.smooth_tests()
        self.coefficients: list[CoefficientTest] = model.coefficient_tests()

    @property
    def _score_name(self) -> str:
        return f"{self.method} score"

    def _header(self) -> list[tuple[str, str]]:
        return [
            ("Family", self.family), ("Link", self.link), ("Observations", str(self.n)),
            ("Deviance explained", f"{self.deviance_explained:.1%}"),
            ("Scale", f"{self.scale:.5g}" + ("" if self.scale_estimated else " (known)")),
            (self._score_name, f"{self.score:.6g}"), ("AIC", f"{self.aic:.6g}"), ("Total EDF", f"{self.edf:.3f}"),
        ]

    def _coefficient_rows(self) -> tuple[list[str], list[list[str]]]:
        stat = "t" if self.scale_estimated else "z"
        return (["", "Estimate", "Std. error", f"{stat} value", "p-value"],
                [[c.name, f"{c.estimate:.5g}", f"{c.std_error:.4g}", f"{c.statistic:.3f}", _p(c.p_value)]
                 for c in self.coefficients])

    def _smooth_rows(self) -> tuple[list[str], list[list[str]]]:
        stat = "F" if self.scale_estimated else "Chi.sq"
        return (["", "EDF", "Ref. df", stat, "p-value"],
                [[t.term, f"{t.edf:.3f}", f"{t.ref_df:.0f}", f"{t.statistic:.4g}", _p(t.p_value)]
                 for t in self.smooth_terms])

    @staticmethod
    def _text_table(head: list[str], rows: list[list[str]]) -> list[str]:
        widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
        def fmt(r: list[str]) -> str:
            return "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))

        return [fmt(head), *map(fmt, rows)]

    def __str__(self) -> str:
        key_width = max(len(k) for k, _ in self._header())
        lines = ["Generalized additive model", *[f"{k.ljust(key_width)}  {v}" for k, v in self._header()]]
        if not self.converged:
            lines.append("Warning: the fit did not converge")
        if self.coefficients:
            lines += ["", "Parametric coefficients:", *self._text_table(*self._coefficient_rows())]
        if self.smooth_terms:
            lines += ["", "Smooth terms (approximate significance):", *self._text_table(*self._smooth_rows())]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.__str__()

    @staticmethod
    def _html_table(head: list[str], rows: list[list[str]]) -> str:
        def cells(r: list[str], tag: str) -> str:
            return "".join(f"<{tag}>{html.escape(c)}</{tag}>" for c in r)

        body = "".join(f"<tr>{cells(r, 'td')}</tr>" for r in rows)
        return f"<table><thead><tr>{cells(head, 'th')}</tr></thead><tbody>{body}</tbody></table>"

    def _repr_html_(self) -> str:
        parts = ["<div><strong>Generalized additive model</strong>",
                 self._html_table(["", ""], [[k, v] for k, v in self._header()])]
        if not self.converged:
            parts.append("<p><strong>Warning: the fit did not converge</strong></p>")
        if self.coefficients:
            parts += ["<p>Parametric coefficients</p>", self._html_table(*self._coefficient_rows())]
        if self.smooth_terms:
            parts += ["<p>Smooth terms (approximate significance)</p>", self._html_table(*self._smooth_rows())]
        return "".join(parts) + "</div>"
