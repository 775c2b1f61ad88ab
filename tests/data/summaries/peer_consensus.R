# Peer results for the summary-tree tests: ape/phangorn consensus trees of the cynmix3 runs
# and phangorn's MCC choice on the BEAST sample. Run from this folder:
#   Rscript peer_consensus.R > peer_consensus.txt
suppressMessages({library(ape); library(phangorn)})
unzipped <- function(path) {
  out <- tempfile(fileext = ".nex")
  con <- gzfile(path)
  on.exit(close(con))
  writeLines(readLines(con), out)
  out
}
runs <- lapply(1:3, function(i) {
  x <- read.nexus(unzipped(sprintf("cynmix3.run%d.topologies.t.gz", i)))
  x[-(1:250)]  # the first quarter of 1001 trees, as sumt drops it
})
trees <- .compressTipLabel(do.call(c, runs))
cat(length(trees), "trees\n")
for (p in c(0.5, 0.75, 0.95)) {
  con <- consensus(trees, p = p, rooted = FALSE)
  cat(sprintf("consensus %.2f\t%s\n", p, write.tree(con)))
}
cat(sprintf("allcompat\t%s\n", write.tree(allCompat(trees, rooted = FALSE))))
bt <- read.nexus(unzipped("beast1_ucln_17taxa.topologies.trees.gz"))[-(1:200)]
m <- maxCladeCred(bt, tree = FALSE)
cat(sprintf("mcc\t%d\t%.17g\n", which.max(m) + 200, max(m)))
