# coda::heidel.diag's stationarity test (start and p-value) of every column of whole
# parameter logs (MrBayes .p, BEAST .log), burn-in included, one block per file.
# Rscript heidel_diag.R primates2/primates2.run1.p.gz primates2/primates2.run2.p.gz \
#   cynmix3/cynmix3.run1.p.gz cynmix3/cynmix3.run2.p.gz cynmix3/cynmix3.run3.p.gz \
#   beast2_relaxed.run1.log.gz beast2_relaxed.run2.log.gz > heidel_diag.txt
suppressMessages(library(coda))
cat(sprintf("# R %s, coda %s\n", getRversion(), packageVersion("coda")))
cat("file\tparameter\tstart\tpvalue\n")
for (f in commandArgs(trailingOnly = TRUE)) {
  first <- readLines(gzfile(f), n = 1)
  x <- read.table(gzfile(f), header = TRUE, sep = "\t", comment.char = "#",
                  skip = if (startsWith(first, "[")) 1 else 0, check.names = FALSE)
  h <- suppressWarnings(heidel.diag(mcmc(as.matrix(x[, -1]))))
  for (name in rownames(h)) {
    cat(basename(f), name, ifelse(is.na(h[name, "start"]), "NA", h[name, "start"]),
        sprintf("%.17g", h[name, "pvalue"]), sep = "\t")
    cat("\n")
  }
}
