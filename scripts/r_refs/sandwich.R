# Reference covariances from R's sandwich package for tests/test_robust.py.
#   Rscript scripts/r_refs/sandwich.R     (from the repository root)
# writes tests/data/sandwich_refs.json and the simulated series
# tests/data/robust_sim.csv. Each case names its data, Kalvoren's cov_type and
# options, and the R call that gave the matrix.
suppressMessages({
  library(sandwich)
  library(jsonlite)
})

out_dir <- "tests/data"
inv <- read.csv(file.path(out_dir, "Investment.csv"))
inv <- inv[complete.cases(inv[, c("RealInv", "RealGNP", "RealInt")]), ]
ps <- read.csv(file.path(out_dir, "PublicSchools.csv"))
ps <- ps[complete.cases(ps), ]
ps$Income <- ps$Income * 1e-4
pc <- read.csv(file.path(out_dir, "PetersenCL.csv"))

# AR(1) regressor and errors, so that the plug-in rules pick several lags; at
# n = 365 the Newey-West rule's count of autocovariances, floor(3 (n/100)^(2/9))
# after prewhitening, is 4 for the sample size and 3 for the prewhitened one.
set.seed(20240525)
n <- 365
x1 <- as.numeric(arima.sim(list(ar = 0.6), n))
x2 <- rnorm(n)
u <- as.numeric(arima.sim(list(ar = 0.5), n))
sim <- data.frame(y = 1 + 0.5 * x1 - 0.3 * x2 + u, x1 = x1, x2 = x2)
write.csv(sim, file.path(out_dir, "robust_sim.csv"), row.names = FALSE)

fm_inv <- lm(RealInv ~ RealGNP + RealInt, data = inv)
fm_ps <- lm(Expenditure ~ Income + I(Income^2), data = ps)
fm_pc <- lm(y ~ x, data = pc)
fm_sim <- lm(y ~ x1 + x2, data = sim)
models <- list(investment = fm_inv, schools = fm_ps, petersen = fm_pc, sim = fm_sim)

cases <- list()
add <- function(data, cov_type, options, call, bw = NULL, plug_in = NULL) {
  fm <- models[[data]]
  V <- eval(call, list(fm = fm))
  cases[[length(cases) + 1]] <<- list(
    data = data, cov_type = cov_type, options = options,
    call = paste(deparse(call), collapse = " "),
    cov = unname(lapply(seq_len(nrow(V)), function(i) unname(V[i, ]))),
    bandwidth = if (is.null(bw)) NA else bw,
    plug_in = if (is.null(plug_in)) NA else plug_in
  )
}
K <- c(bartlett = "Bartlett", parzen = "Parzen", qs = "Quadratic Spectral")

for (d in c("investment", "sim")) {
  fm <- models[[d]]
  # NeweyWest truncates the Bartlett weights at floor(bwNeweyWest) lags: b = lags + 1
  for (pw in 0:1) {
    bw <- bwNeweyWest(fm, kernel = "Bartlett", prewhite = pw)
    add(d, "HAC", list(bandwidth = "nw1994", prewhite = pw),
        bquote(NeweyWest(fm, prewhite = .(pw == 1))), floor(bw) + 1, bw)
  }
  add(d, "HAC", list(bandwidth = 4, prewhite = 0), quote(NeweyWest(fm, lag = 4, prewhite = FALSE)), 5)
  add(d, "HAC", list(bandwidth = 4, prewhite = 1, adjust = TRUE),
      quote(NeweyWest(fm, lag = 4, prewhite = TRUE, adjust = TRUE)), 5)
  for (k in names(K)) {
    kern <- K[[k]]
    for (pw in 0:1) {
      bw <- bwAndrews(fm, kernel = kern, prewhite = pw)
      add(d, "HAC", list(kernel = k, bandwidth = "andrews", prewhite = pw, adjust = TRUE),
          bquote(kernHAC(fm, kernel = .(kern), prewhite = .(pw))), bw, bw)
      if (k != "bartlett") {
        bw <- bwNeweyWest(fm, kernel = kern, prewhite = pw)
        add(d, "HAC", list(kernel = k, bandwidth = "nw1994", prewhite = pw),
            bquote(kernHAC(fm, kernel = .(kern), bw = bwNeweyWest, prewhite = .(pw), adjust = FALSE)),
            bw, bw)
      }
    }
    add(d, "HAC", list(kernel = k, bandwidth = 3, prewhite = 0),
        bquote(kernHAC(fm, kernel = .(kern), bw = 4, prewhite = 0, adjust = FALSE)), 4)
    bw <- 1.3 * sqrt(nobs(fm))
    add(d, "HAC", list(kernel = k, bandwidth = "llsw", prewhite = 0),
        bquote(kernHAC(fm, kernel = .(kern), bw = .(bw), prewhite = 0, adjust = FALSE)), bw)
  }
}

for (type in c("HC0", "HC1", "HC2", "HC3", "HC4", "HC4m", "HC5")) {
  add("schools", type, list(), bquote(vcovHC(fm, type = .(type))))
  add("sim", type, list(), bquote(vcovHC(fm, type = .(type))))
}

add("petersen", "cluster", list(groups = "firm"), quote(vcovCL(fm, cluster = ~firm)))
add("petersen", "cluster", list(groups = "year"), quote(vcovCL(fm, cluster = ~year)))
add("petersen", "cluster", list(groups = "firm", correction = FALSE),
    quote(vcovCL(fm, cluster = ~firm, type = "HC0", cadjust = FALSE)))
add("petersen", "cluster", list(groups = c("firm", "year")),
    quote(vcovCL(fm, cluster = ~ firm + year)))
add("petersen", "cluster", list(groups = c("firm", "year"), correction = FALSE),
    quote(vcovCL(fm, cluster = ~ firm + year, type = "HC0", cadjust = FALSE)))
add("petersen", "driscoll-kraay", list(time = "year", entity = "firm"),
    quote(vcovPL(fm, cluster = ~firm, order.by = ~year)))
add("petersen", "driscoll-kraay", list(time = "year", entity = "firm", adjust = FALSE),
    quote(vcovPL(fm, cluster = ~firm, order.by = ~year, adjust = FALSE)))
add("petersen", "driscoll-kraay", list(time = "year", entity = "firm", bandwidth = 3),
    quote(vcovPL(fm, cluster = ~firm, order.by = ~year, lag = 3)))

writeLines(toJSON(list(sandwich = as.character(packageVersion("sandwich")), cases = cases),
                  auto_unbox = TRUE, digits = I(17), pretty = TRUE, na = "null"),
           file.path(out_dir, "sandwich_refs.json"))
