"""Weights of the scored spectrum model, written by tools/fit_scored.py; do not edit by hand.

Fitted 2026-12-08 on the development file massbank_ei_dev.msp
(2,520 measured 70 eV EI spectra from MassBank): the first 1520 spectra fitted, the last
1000 held out.  Objective: mean cosine of the predicted heights against the square
roots of the measured intensities (m/z >= each spectrum's lowest measured m/z), minus
0.05 x the softmax identification loss (temperature 0.05) of each fitted
spectrum among the predictions of all fitted molecules, minus an L2
penalty 0.0001 on the weights; L-BFGS from zero.  Mean cosine on the fitted spectra: 0.613.
Held-out figures (library of the 1,000 held-out spectra): precision 0.166, recall10 0.920, recall10_pm1 0.948, cosine 0.613, id_at_1 0.380, id_at_10 0.736, median_peaks 124.000.
"""

WEIGHTS = {
    'molecular_ion': 0.6919007477838697,
    'ring_cut': -1.8938742188969455,
    'second_generation': -2.1000409055798985,
    'n_cuts': -1.8976393163434764,
    'log_mass': -0.46559375108191675,
    'mass_fraction': -1.1935178796848187,
    'small_ion': -1.2479587180663019,
    'tiny_ion': -2.0014928053916283,
    'neutral_one_heavy': -0.061512477421478036,
    'neutral_log_mass': 0.9062072002887666,
    'ion_hydrocarbon': -0.12028644839836655,
    'ion_dbe': 0.5863809623351458,
    'ion_dbe_per_heavy': 0.6498989790874736,
    'soft_cuts': 0.7554905723345924,
    'all_cuts_soft': -0.5120311327598772,
    'cut_double': -2.831770647533882,
    'cut_triple': -1.2335873088204725,
    'cut_aromatic': 0.4166778245366389,
    'cut_C_N': 0.37102760769524434,
    'cut_C_O': 0.38865967131248813,
    'cut_C_S': 0.389520879359898,
    'cut_C_halogen': 0.20793282002002908,
    'cut_hetero_hetero': 0.4209210363323618,
    'ion_N': 0.08549793770986366,
    'ion_O': -1.2127879299697355,
    'ion_S': -0.5069383568822687,
    'ion_halogen': -1.517604340885658,
    'ion_Si': 0.0,
    'ion_P': 0.0,
    'ion_aromatic_ring': 0.5020644782930791,
    'neutral_aromatic_ring': -0.8414357525422375,
    'neutral_N': 0.047712040339560974,
    'centre_substitution': 0.40026135709029126,
    'centre_hetero': -0.621562702964463,
    'centre_aromatic': -1.3649176143344863,
    'alpha_N': 0.4430335167072257,
    'alpha_O_S': -0.3710105313217913,
    'acylium': 0.10408797799023563,
    'centre_next_to_carbonyl': -0.27123873223354084,
    'benzylic': 0.5251615983718175,
    'allylic': -0.04843543507650395,
    'loss_CH3': 0.08328291060456677,
    'loss_halogen': -0.06451847128043849,
    'loss_small_molecule': 0.4511779532593768,
    'loss_small_radical': 0.4511779532593768,
    'mclafferty': 1.806860910063098,
    'mclafferty_alkene': -0.6138839859524132,
    'shift_minus1': -1.279869500102182,
    'shift_minus2': -1.8717313699114504,
    'shift_plus1': -2.6566247455301846,
    'shift_plus2': -4.126530979109626,
    'shift_plus_hetero': 0.6050612694770173,
    'shift_minus_aromatic': -1.043079023195289,
    'mi_aromatic_fraction': -0.3412963121746559,
    'mi_log_heavy': 1.6680465647803484,
    'mi_sp3_fraction': -0.6140700887665392,
    'mi_alcohol_amine': 0.009374782981901487,
}
