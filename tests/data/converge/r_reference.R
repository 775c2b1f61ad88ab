# Reference values from R itself for the R-compatible numerics of kestrilune_tools.analyses.converge:
# coda::effectiveSize / spectrum0.ar on integer traces, and optim()'s default Nelder-Mead on
# the least-squares fit that RWTY's approximate ESS makes. The inputs are built here from a
# small integer generator that the tests rebuild in Python.
#
#   Rscript r_reference.R > r_reference.txt      (R 4.2.2, coda 0.19-4; Debian bookworm)
suppressMessages(library(coda))

lcg <- function(n, seed) {  # x_{i+1} = (69069 x_i + 1) mod 2^32, as exact doubles
  out <- numeric(n); x <- seed
  for (i in 1:n) { x <- (69069 * x + 1) %% 4294967296; out[i] <- x }
  out
}
# Integer traces of several kinds: white noise, a sticky walk, a trend, short and tied ones.
traces <- list(
  noise = lcg(300, 1) %% 17,
  sticky = cumsum(ifelse(lcg(400, 2) %% 10 < 2, 1, 0)) %% 9,
  ar = local({ u <- lcg(500, 3) %% 7; y <- numeric(500); for (i in 2:500) y[i] <- floor(0.8 * y[i - 1]) + u[i]; y }),
  trend = 1:50 * 3 + 2,
  constant = rep(4, 40),
  short = lcg(12, 4) %% 5,
  blocky = rep(lcg(30, 5) %% 4, each = 10)
)
for (name in names(traces)) {
  x <- traces[[name]]
  s <- spectrum0.ar(x)
  cat(sprintf("ess %s %.17g %d %.17g\n", name, effectiveSize(x), s[[2]], s[[1]]))  # order, density at 0
}
# The fit of a (1 - exp(-k / b)) to f_k by least squares, from (1, 1), as RWTY calls optim.
fits <- list(
  saturating = { k <- 1:100; 30 * (1 - exp(-k / 7)) + (lcg(100, 6) %% 1000) / 500 },
  slow = { k <- 1:60; 80 * (1 - exp(-k / 40)) + (lcg(60, 7) %% 100) / 50 },
  flat = { rep(12.5, 25) },
  steep = { k <- 1:100; 5 * (1 - exp(-k / 0.3)) }
)
for (name in names(fits)) {
  f <- fits[[name]]
  dat <- data.frame(sampling.interval = seq_along(f), topo.distance = f)
  r <- optim(par = c(1, 1), function(data, par) {
    sum((par[1] * (1 - exp(-(data$sampling.interval / par[2]))) - data$topo.distance)^2)
  }, data = dat)
  cat(sprintf("optim %s %.17g %.17g %.17g %d %d\n", name, r$par[1], r$par[2], r$value,
              r$counts[1], r$convergence))
}
