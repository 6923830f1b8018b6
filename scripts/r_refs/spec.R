# Reference values for the model checks (tests/test_spectests.py) from
# R's lmtest, written to tests/data/spec_refs.json so the tests need no R:
#     Rscript scripts/r_refs/spec.R
# Data: tests/data/bondyield.csv and growthofmoney.csv (Kraemer and
# Sonnberger 1986, as shipped with lmtest), and a simulated design written
# into the JSON beside its results.
suppressMessages({
  library(lmtest)
  library(jsonlite)
})

root <- normalizePath(file.path(dirname(sub("--file=", "", grep("--file=", commandArgs(FALSE),
  value = TRUE))), "..", ".."))
data_dir <- file.path(root, "tests", "data")

row <- function(test, options, h) {
  p <- unname(h$parameter)
  list(test = test, options = options, statistic = unname(h$statistic),
       df = if (is.null(p)) NULL else p, pvalue = unname(h$p.value))
}

cases <- function(name, f, d, regs) {
  out <- list()
  add <- function(test, options, h) out[[length(out) + 1]] <<- row(test, options, h)
  # pan() fails beyond about 100 observations (lmtest then falls back to a
  # normal approximation): exact references only for the small sets
  for (alt in if (nrow(d) < 100) c("greater", "less", "two.sided") else NULL) {
    add("durbin_watson", list(dw_alternative = sub("two.sided", "two-sided", alt)),
        dwtest(f, data = d, alternative = alt, exact = TRUE))
  }
  if (nrow(d) < 100) {  # a model without a constant
    add("durbin_watson", list(add_constant = FALSE),
        dwtest(update(f, . ~ . - 1), data = d, exact = TRUE))
  }
  none <- structure(list(), names = character(0))
  add("reset", none, resettest(f, data = d))
  add("reset", list(reset_power = 4), resettest(f, data = d, power = 2:4))
  add("reset", list(reset_type = "regressors"), resettest(f, data = d, type = "regressor"))
  add("reset", list(reset_type = "princomp"), resettest(f, data = d, type = "princomp"))
  add("harvey_collier", none, harvtest(f, data = d))
  add("harvey_collier", list(hc_order_by = regs[1]),
      harvtest(f, data = d, order.by = d[[regs[1]]]))
  add("rainbow", none, raintest(f, data = d))
  add("rainbow", list(rainbow_fraction = 0.3), raintest(f, data = d, fraction = 0.3))
  add("goldfeld_quandt", none, gqtest(f, data = d))
  add("goldfeld_quandt", list(gq_drop = 0.2, gq_alternative = "two-sided"),
      gqtest(f, data = d, fraction = 0.2, alternative = "two.sided"))
  add("goldfeld_quandt", list(gq_split = 0.4, gq_alternative = "decreasing"),
      gqtest(f, data = d, point = 0.4, alternative = "less"))
  add("goldfeld_quandt", list(gq_split = 9, gq_order_by = regs[1]),
      gqtest(f, data = d, point = 9, order.by = d[[regs[1]]]))
  add("breusch_godfrey", list(lags = 1), bgtest(f, data = d, order = 1))
  add("breusch_godfrey", list(lags = 3, bg_form = "f"), bgtest(f, data = d, order = 3, type = "F"))
  add("breusch_pagan_koenker", list(bp_regressors = regs[1]),
      bptest(f, varformula = as.formula(paste("~", regs[1])), data = d))
  add("breusch_pagan", list(bp_regressors = regs[1]),
      bptest(f, varformula = as.formula(paste("~", regs[1])), data = d, studentize = FALSE))
  # White's test is Koenker's n R^2 on the squares and cross-products
  sq <- paste0("I(", regs, "^2)")
  cross <- if (length(regs) > 1) combn(regs, 2, function(p) paste(p, collapse = ":")) else NULL
  add("white", none, bptest(f, varformula = as.formula(paste("~", paste(c(regs, sq, cross),
      collapse = "+"))), data = d))
  add("white", list(white_cross = FALSE), bptest(f, varformula = as.formula(paste("~",
      paste(c(regs, sq), collapse = "+"))), data = d))
  e <- residuals(lm(f, data = d))
  add("ljung_box", list(lags = 4, lb_model_df = 2), Box.test(e, lag = 4, type = "Ljung-Box",
      fitdf = 2))
  list(name = name, y = all.vars(f)[1], x = regs, rows = out)
}

bond <- read.csv(file.path(data_dir, "bondyield.csv"), check.names = FALSE)
money <- read.csv(file.path(data_dir, "growthofmoney.csv"), check.names = FALSE)
names(money) <- c("TG1_TG0", "AG0_TG0")

set.seed(24)
n <- 150
sim <- data.frame(x1 = cumsum(rnorm(n)), x2 = rep(c(0, 1), length.out = n), x3 = runif(n))
sim$y <- 1 + 0.5 * sim$x1 - sim$x2 + 2 * sim$x3^2 + as.vector(arima.sim(list(ar = 0.3), n))

refs <- list(
  lmtest = as.character(packageVersion("lmtest")),
  sets = list(
    cases("bondyield", RAARUS ~ MOOD + EPI + EXP + RUS, bond, c("MOOD", "EPI", "EXP", "RUS")),
    cases("growthofmoney", TG1_TG0 ~ AG0_TG0, money, c("AG0_TG0")),
    c(cases("simulated", y ~ x1 + x2 + x3, sim, c("x1", "x2", "x3")), list(data = sim))
  )
)
writeLines(toJSON(refs, auto_unbox = TRUE, digits = NA, null = "null", pretty = TRUE),
           file.path(data_dir, "spec_refs.json"))
