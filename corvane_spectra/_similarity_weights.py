"""Weights of the learned identification score, written by tools/fit_similarity.py; do not edit by hand.

Fitted on the held-out scored predictions of all 5483 spectra of massbank_ei_dev.msp and
massbank_ei_extra.msp (each fold's predictions from scored weights refitted without that fold, as
fit_scored.py cv --subsample 1000 --maxiter 60); each fold is a library of about 1,100.
Objective: softmax loss of each spectrum's own structure among its library, L2 penalty 1e-05.
The score is a weighted sum of the terms of corvane_spectra/_idscore.py, divided by the first
term's weight.
Cross-validated (5 folds over compounds; mean +- standard error over folds):
cosine alone id@1 0.561 +- 0.005, id@10 0.866 +- 0.003;
this score id@1 0.734 +- 0.007, id@10 0.951 +- 0.002.
"""

WEIGHTS = {
    'cos': 1.0,
    'cos_mz2': 0.6939696630216184,
    'above_log': -0.7117563757705551,
}
