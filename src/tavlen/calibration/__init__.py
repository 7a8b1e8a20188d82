"""Calibration: the unknown parameters of a model fitted to what was
observed, by optimisation or as a posterior sample.

State the targets (:class:`EventRate`, :class:`EventShare`,
:class:`StateShare`, :class:`Count`, :class:`MeanDuration`, or any
:class:`Statistic` of the results), each with its standard error, and the
parameters' bounds (:class:`Parameter`); :func:`calibrate` evaluates
candidates in batches, each one sweep, and returns a :class:`Calibration`.
SciPy, Optuna and emcee come with the extra ``tavlen[calibration]``.
"""

from __future__ import annotations

from .driver import METHODS, calibrate
from .outcome import Calibration
from .parameters import Parameter, ParameterTable
from .targets import Count, EventRate, EventShare, MeanDuration, StateShare, Statistic, Target

__all__ = ["METHODS", "Calibration", "Count", "EventRate", "EventShare", "MeanDuration", "Parameter", "ParameterTable",
           "StateShare", "Statistic", "Target", "calibrate"]
