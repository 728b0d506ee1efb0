"""Hand-built compiled blocks and model readers shared by the solver adapter tests."""

import numpy as np
import pandas as pd
import scipy.sparse as sp

from ostrelpy.bindings import _engine as e

PRICES = np.array([1.0, 3.0, 2.0, 5.0, 4.0, 1.5])
INDEX = pd.date_range("2026-10-25", periods=len(PRICES), freq="h", tz="Europe/Stockholm")
CAP, FREE, FEE, TOTAL = 10.0, 4.0, 3.0, 33.0


def highs_model():
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    return h


def highs_matrix(h):
    """The model's constraint matrix as a dense array, whatever its stored orientation."""
    lp = h.getLp()
    a = lp.a_matrix_
    shape = (h.getNumRow(), h.getNumCol())
    parts = (np.asarray(a.value_), np.asarray(a.index_), np.asarray(a.start_))
    if "Rowwise" in str(a.format_):
        return sp.csr_array(parts, shape=shape).toarray()
    return sp.csc_array(parts, shape=shape).toarray()


def counts(h):
    return h.getNumCol(), h.getNumRow()


def tariff_blocks(x, start):
    """A small exact MILP over the caller's import x: energy cost at PRICES, and a fee per hour
    whose import exceeds FREE, gated by a binary (x <= FREE unless the hour pays the fee).

    Returns the blocks and the cost series the objective minimises.
    """
    energy = e.linear_combination([(PRICES, x)], start)
    over = e.VariableSeries.binary(energy.next_available_col, x.index)
    gate = e.FunctionBlock(over, inequalities=e.le_when(x, [FREE], over, 0))
    fee = e.linear_combination([(FEE, over)], gate.next_available_col)
    # The hour's cost, tied to both parts by a plain equality.
    ub = PRICES * CAP + FEE
    cost = e.VariableSeries.continuous(fee.next_available_col, np.zeros(len(ub)), ub, x.index)
    both = e.eq(cost, [energy.output, fee.output])
    # The blocks list auxiliaries and outputs out of column order on purpose.
    total = e.FunctionBlock(
        fee.output, (over,), equalities=fee.equalities, inequalities=gate.inequalities
    )
    return [e.FunctionBlock(cost, equalities=both), total, energy], [cost]


def reference_optimum():
    """The same problem written by hand in highspy: the independent answer."""
    import highspy

    h = highs_model()
    n = len(PRICES)
    x = [h.addVariable(lb=0.0, ub=CAP) for _ in range(n)]
    b = [h.addVariable(lb=0.0, ub=1.0, type=highspy.HighsVarType.kInteger) for _ in range(n)]
    for xi, bi in zip(x, b):
        h.addConstr(xi - (CAP - FREE) * bi <= FREE)
    h.addConstr(sum(x) == TOTAL)
    h.minimize(sum(p * xi for p, xi in zip(PRICES, x)) + FEE * sum(b))
    return h.getInfo().objective_function_value
