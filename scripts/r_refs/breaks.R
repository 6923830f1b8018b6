# Reference values of R's strucchange for tests/test_breaks.py (which reads the JSON this
# writes, so the tests need no R):
#   Rscript scripts/r_refs/breaks.R      (from the repository root)
# Writes tests/data/breaks_sim.csv (seeded) and tests/data/nile.csv (R's datasets::Nile)
# when missing, then tests/data/breaks_r.json.
suppressMessages({
  library(strucchange)
  library(jsonlite)
})
dir <- "tests/data"
if (!file.exists(file.path(dir, "nile.csv"))) {
  write.csv(data.frame(year = 1871:1970, volume = as.numeric(Nile)),
            file.path(dir, "nile.csv"), row.names = FALSE)
}
if (!file.exists(file.path(dir, "breaks_sim.csv"))) {
  set.seed(20260423)
  n <- 200
  x1 <- rnorm(n)
  x2 <- cumsum(rnorm(n)) / 5
  y <- 1 + 0.5 * x1 - 0.3 * x2 + ifelse(seq_len(n) > 120, 0.8 + 0.6 * x1, 0) + rnorm(n)
  y0 <- 1 + 0.5 * x1 - 0.3 * x2 + rnorm(n)  # no break
  write.csv(data.frame(y = y, y0 = y0, x1 = x1, x2 = x2), file.path(dir, "breaks_sim.csv"),
            row.names = FALSE)
}
nile <- read.csv(file.path(dir, "nile.csv"))
realint <- read.csv(file.path(dir, "RealInt.csv"))
bond <- read.csv(file.path(dir, "bondyield.csv"))
sim <- read.csv(file.path(dir, "breaks_sim.csv"))

models <- list(
  nile = list(f = volume ~ 1, data = nile, h = 15),
  realint = list(f = realint ~ 1, data = realint, h = 15),
  bondyield = list(f = RAARUS ~ MOOD + EPI + EXP + RUS, data = bond, h = 12),
  sim = list(f = y ~ x1 + x2, data = sim, h = 30),
  null = list(f = y0 ~ x1 + x2, data = sim, h = 30),
  null_mean = list(f = y0 ~ 1, data = sim, h = 0.1)
)

one <- function(m) {
  f <- m$f
  d <- m$data
  fs <- Fstats(f, data = d, from = 0.15)
  n <- fs$nobs
  tests <- lapply(c(supF = "supF", aveF = "aveF", expF = "expF"), function(ty) {
    s <- sctest(fs, type = ty)
    list(statistic = unname(s$statistic), pvalue = s$p.value)
  })
  efps <- list()
  for (ty in c("OLS-CUSUM", "Rec-MOSUM", "OLS-MOSUM")) {
    for (h in c(0.15, 0.25)) {
      if (ty == "OLS-CUSUM" && h != 0.15) next
      p <- efp(f, data = d, type = ty, h = h)
      s <- sctest(p)
      efps[[length(efps) + 1]] <- list(type = ty, h = h, process = as.numeric(p$process),
                                       statistic = unname(s$statistic), pvalue = s$p.value)
    }
  }
  nh <- sctest(f, data = d, type = "Nyblom-Hansen")
  bp <- breakpoints(f, data = d, h = m$h)
  sm <- summary(bp)
  M <- ncol(sm$RSS) - 1
  parts <- lapply(0:M, function(k) {
    if (k == 0) integer(0) else as.integer(breakpoints(bp, breaks = k)$breakpoints)
  })
  ci <- list()
  for (k in seq_len(min(M, 3))) {
    for (level in c(0.95, 0.9)) {
      c0 <- tryCatch(suppressWarnings(confint(bp, breaks = k, level = level)$confint),
                     error = function(e) NULL)
      if (!is.null(c0)) ci[[length(ci) + 1]] <- list(breaks = k, level = level,
                                                     lower = c0[, 1], mid = c0[, 2],
                                                     upper = c0[, 3])
    }
  }
  kbic <- as.integer(names(which.min(sm$RSS["BIC", ])))
  list(
    n = n,
    from = round(tsp(fs$Fstats)[1] * n),
    Fstats = as.numeric(fs$Fstats),
    breakpoint = fs$breakpoint,
    lambda = fs$par,
    tests = tests,
    efp = efps,
    nyblom_hansen = list(statistic = unname(nh$statistic), pvalue = nh$p.value),
    h = m$h,
    rss = unname(sm$RSS["RSS", ]),
    bic = unname(sm$RSS["BIC", ]),
    partitions = parts,
    bic_breaks = kbic,
    coef_bic = unname(as.matrix(coef(bp, breaks = kbic))),
    confint = ci
  )
}
out <- lapply(models, one)
# Hansen's (1997) p-values as strucchange interpolates them: x, q, trimming tau
grid <- expand.grid(x = c(0.5, 3, 8, 15, 40), q = c(1, 3, 10, 40),
                    tau = c(0.005, 0.05, 0.15, 0.16, 0.3, 0.495))
out$hansen <- lapply(c(sup = "supF", ave = "aveF", exp = "expF"), function(ty) {
  p <- mapply(function(x, q, tau) {
    strucchange:::pvalue.Fstats(x, type = ty, k = q, lambda = ((1 - tau) / tau)^2)
  }, grid$x, grid$q, grid$tau)
  list(x = grid$x, q = grid$q, tau = grid$tau, p = p)
})
writeLines(toJSON(out, digits = NA, auto_unbox = TRUE, pretty = TRUE),
           file.path(dir, "breaks_r.json"))
cat("strucchange", as.character(packageVersion("strucchange")), "\n")
