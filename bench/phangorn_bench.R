#!/usr/bin/env Rscript
# Time phangorn's all-against-all tree distances on one NEXUS tree file.
#
# Usage:
#   Rscript bench/phangorn_bench.R FILE [--max-trees N] [--metrics rf,wrf,kf]
#                                       [--repeats K] [--min-seconds S]
#
# The file is read with ape::read.nexus (which applies the translate block)
# before any clock starts; only the distance call itself is timed:
# RF.dist(trees), wRF.dist(trees), KF.dist(trees), all unrooted (phangorn's
# default), on the first N trees when --max-trees is given.  A call that
# takes less than --min-seconds is repeated up to --repeats times in all and
# the fastest run is reported.
#
# Output: one line per fact, "phangorn_<kind>" followed by key=value fields
# separated by tabs, for bench/bench.py to parse:
#   phangorn_info     R, phangorn and ape versions, file, trees read, read time
#   phangorn_result   metric, n_trees, n_total, subsampled, pairs, seconds,
#                     pairs_per_s, cpu_seconds, cpu_per_wall, runs, checksum
# cpu_per_wall is (user + system CPU time) / elapsed time of the fastest run;
# about 1.0 means the call ran on one core.  checksum is the sum of the
# n*(n-1)/2 distances, printed to 17 significant digits so that another
# implementation can be checked against it.

suppressPackageStartupMessages({
    library(ape)
    library(phangorn)
})

usage <- function() {
    cat("usage: Rscript phangorn_bench.R FILE [--max-trees N] [--metrics rf,wrf,kf]",
        "[--repeats K] [--min-seconds S]\n", file = stderr())
    quit(status = 2)
}

args <- commandArgs(trailingOnly = TRUE)
path <- NULL
max_trees <- NA_integer_
metrics <- c("rf", "wrf", "kf")
repeats <- 3L
min_seconds <- 2.0
i <- 1L
while (i <= length(args)) {
    a <- args[[i]]
    value <- if (i < length(args)) args[[i + 1L]] else NA_character_
    if (a == "--max-trees") {
        max_trees <- as.integer(value); i <- i + 2L
    } else if (a == "--metrics") {
        metrics <- strsplit(value, ",", fixed = TRUE)[[1]]; i <- i + 2L
    } else if (a == "--repeats") {
        repeats <- as.integer(value); i <- i + 2L
    } else if (a == "--min-seconds") {
        min_seconds <- as.numeric(value); i <- i + 2L
    } else if (startsWith(a, "--")) {
        usage()
    } else if (is.null(path)) {
        path <- a; i <- i + 1L
    } else {
        usage()
    }
}
if (is.null(path) || any(is.na(c(repeats, min_seconds))) ||
    !all(metrics %in% c("rf", "wrf", "kf"))) {
    usage()
}

emit <- function(kind, fields) {
    cat(paste0("phangorn_", kind), paste(names(fields), fields, sep = "=", collapse = "\t"),
        sep = "\t")
    cat("\n")
}

read_start <- proc.time()[["elapsed"]]
trees <- read.nexus(path)
read_seconds <- proc.time()[["elapsed"]] - read_start
if (inherits(trees, "phylo")) {
    trees <- c(trees)  # a one-tree file comes back as a phylo, not a multiPhylo
}
n_total <- length(trees)
n <- if (is.na(max_trees)) n_total else min(max_trees, n_total)
if (n < n_total) {
    trees <- trees[seq_len(n)]
}
if (n < 2) {
    stop("need at least 2 trees")
}

emit("info", c(R = paste(R.version$major, R.version$minor, sep = "."),
               phangorn = as.character(packageVersion("phangorn")),
               ape = as.character(packageVersion("ape")),
               file = basename(path), n_total = n_total,
               n_taxa = length(trees[[1]]$tip.label),
               read_seconds = sprintf("%.3f", read_seconds)))

functions <- list(rf = function(x) RF.dist(x), wrf = function(x) wRF.dist(x),
                  kf = function(x) KF.dist(x))
pairs <- n * (n - 1) / 2

for (metric in metrics) {
    f <- functions[[metric]]
    best <- NULL
    runs <- 0L
    repeat {
        gc()
        t <- system.time(d <- f(trees))
        runs <- runs + 1L
        if (is.null(best) || t[["elapsed"]] < best[["elapsed"]]) {
            best <- t
        }
        if (runs >= repeats || t[["elapsed"]] >= min_seconds) break
    }
    elapsed <- max(best[["elapsed"]], 1e-3)  # proc.time resolution is 1 ms
    cpu <- best[["user.self"]] + best[["sys.self"]]
    emit("result", c(metric = metric, n_trees = n, n_total = n_total,
                     subsampled = as.integer(n < n_total), pairs = sprintf("%.0f", pairs),
                     seconds = sprintf("%.3f", best[["elapsed"]]),
                     pairs_per_s = sprintf("%.1f", pairs / elapsed),
                     cpu_seconds = sprintf("%.3f", cpu),
                     cpu_per_wall = sprintf("%.2f", cpu / elapsed),
                     runs = runs,
                     checksum = format(sum(as.numeric(d)), digits = 17)))
}
