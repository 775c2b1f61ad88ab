# The topological ESS measures of one run as R users compute them (RWTY, treess): phangorn's
# RF.dist, coda::effectiveSize of the distance trace to every tree, and optim's fit of
# RWTY's approximate ESS. Prints key=value lines: trees, seconds (wall), cpu (user + system).
#
#   Rscript converge_peer.R RUN.t N_TREES
suppressMessages({ library(ape); library(phangorn); library(coda) })
args <- commandArgs(trailingOnly = TRUE)
trees <- read.nexus(args[1])
n <- min(length(trees), as.integer(args[2]))
trees <- trees[1:n]
t <- system.time({
  d <- as.matrix(RF.dist(trees))
  pseudo <- apply(d, 1, effectiveSize)
  k <- 1:min(100, n - 100)
  f <- sapply(k, function(i) mean(d[cbind(1:(n - i), (1 + i):n)]^2))
  dat <- data.frame(sampling.interval = k, topo.distance = f)
  fit <- optim(c(1, 1), function(data, par) {
    sum((par[1] * (1 - exp(-(data$sampling.interval / par[2]))) - data$topo.distance)^2)
  }, data = dat)
})
cat(sprintf("trees=%d\nseconds=%.3f\ncpu=%.3f\nmin_pseudo=%.6f\n", n, t[["elapsed"]],
            t[["user.self"]] + t[["sys.self"]], min(pseudo)))
