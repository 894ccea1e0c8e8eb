"""
Columns on different scales, in a pipeline
==========================================

The kernel is round, so a column measured in larger units dominates the
distances. Scale the columns first; the estimator follows scikit-learn's
conventions, so it fits in a :class:`~sklearn.pipeline.Pipeline` and takes
a DataFrame.
"""

import numpy as np
import pandas as pd
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from quarnel_cluster import DensityPeakClustering, adjusted_rand_index

rng = np.random.default_rng(1)
centres = np.array([[0.0, 0.0], [4.0, 0.0], [0.0, 4.0], [4.0, 4.0]])
truth = np.repeat(np.arange(4), 500)
points = centres[truth] + rng.normal(size=(2000, 2))
df = pd.DataFrame({"length_mm": points[:, 0] * 1000.0, "weight_kg": points[:, 1]})

raw = DensityPeakClustering().fit_predict(df)
scaled = make_pipeline(StandardScaler(), DensityPeakClustering()).fit_predict(df)
print(f"raw columns:  {raw.max() + 1} clusters, ARI {adjusted_rand_index(truth, raw):.2f}")
print(f"standardised: {scaled.max() + 1} clusters, ARI {adjusted_rand_index(truth, scaled):.2f}")
