"""A Poisson GAM with mixed terms: counts of events with an exposure, a smooth
effect of age, a spatial tensor product, a region factor and a linear dose."""

import numpy as np

from vorna import GAM, f, l, s, te

rng = np.random.default_rng(1)
n = 5000
data = {
    "age": rng.uniform(20, 80, n),
    "lat": rng.uniform(0, 1, n),
    "lon": rng.uniform(0, 1, n),
    "region": rng.choice(["north", "south", "west"], n),
    "dose": rng.normal(0, 1, n),
}
exposure = rng.uniform(0.5, 3.0, n)
eta = (np.sin(data["age"] / 10) + np.exp(-((data["lat"] - 0.5) ** 2 + (data["lon"] - 0.3) ** 2) * 8)
       + 0.3 * (data["region"] == "south") + 0.2 * data["dose"])
counts = rng.poisson(exposure * np.exp(eta))

model = GAM(s("age") + te("lat", "lon") + f("region") + l("dose"), family="poisson")
model.fit(data, counts, offset=np.log(exposure))

print(f"deviance explained {model.deviance_explained_:.1%}, EDF {model.edf_:.1f}, AIC {model.aic_:.1f}")
for test in model.smooth_tests():
    print(f"{test.term:12s} edf {test.edf:5.2f}  chi2 {test.statistic:8.1f}  p {test.p_value:.2g}")
for row in model.coefficient_tests():
    print(f"{row.name:16s} {row.estimate:+.3f} ± {row.std_error:.3f}  p {row.p_value:.2g}")

# Rates per unit exposure with 95% intervals, and the smooth of age with its band.
new = {"age": np.array([30.0, 60.0]), "lat": np.array([0.5, 0.5]), "lon": np.array([0.3, 0.3]),
       "region": np.array(["north", "south"]), "dose": np.zeros(2)}
print("rate", model.predict(new), "interval", model.confidence_interval(new).tolist())
effect, se = model.partial_effects(new, se=True)["s(age)"]
print("s(age) at 30 and 60:", effect.round(3), "±", (1.96 * se).round(3))
