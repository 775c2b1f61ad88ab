# coda::effectiveSize of every column of MrBayes parameter files after MrBayes' burn-in
# (the first (int)(0.25 * rows) samples of each run), per run and for the runs as an
# mcmc.list. Rscript coda_params.R primates2/primates2.run1.p.gz primates2/primates2.run2.p.gz
suppressMessages(library(coda))
files <- commandArgs(trailingOnly = TRUE)
runs <- lapply(files, function(f) {
  x <- read.table(gzfile(f), header = TRUE, sep = "\t", skip = 1, check.names = FALSE)
  x <- x[(as.integer(0.25 * nrow(x)) + 1):nrow(x), -1]
  mcmc(as.matrix(x))
})
cat(sprintf("# R %s, coda %s\n", getRversion(), packageVersion("coda")))
cat("parameter", paste0("run", seq_along(runs)), "mcmc.list", sep = "\t")
cat("\n")
per_run <- lapply(runs, effectiveSize)
total <- effectiveSize(mcmc.list(runs))
for (name in colnames(runs[[1]])) {
  cat(name, sapply(per_run, function(e) sprintf("%.17g", e[[name]])),
      sprintf("%.17g", total[[name]]), sep = "\t")
  cat("\n")
}
