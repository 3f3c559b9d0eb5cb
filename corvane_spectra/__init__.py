"""Measured and predicted electron-ionisation spectra beside the corvane module.

``corvane_spectra`` holds corvane's predictions against measured spectra:
spectrum objects, readers and writers of the usual library formats, scoring,
annotation, identification, evaluation and batch prediction.  The extension
module ``corvane`` itself is left exactly as it is; everything here is built
on its public functions.
"""
from .spectrum import PeakAnnotation, Spectrum
from .predict import predict
from .io import SpectrumFormatError, dumps, read, write

__all__ = ["PeakAnnotation", "Spectrum", "SpectrumFormatError", "dumps", "predict", "read", "write"]
