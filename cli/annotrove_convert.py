"""`annotrove convert`: the outputs of annotation tools turned into a ranked candidate table.

Every tool ranks its own way, and most write a rank that is not the one annotrove needs (per
formula, a name in a "rank" column, or no rank at all). So each reader only collects the
candidates with the tool's ranking score, in file order; one ranking step then numbers every
query's candidates 1..n by that score, descending, equal scores keeping their file order.
"""

from __future__ import annotations

import argparse
import csv
import importlib
import io
import math
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Literal, TextIO

FORMATS = ("sirius", "ms2query", "metfrag", "msfinder", "gnps")
MATCH_MODES = ("inchikey-first-block", "inchikey", "smiles")
CONFIDENCE_MODES = ("exact", "approximate")

OUTPUT_COLUMNS = ("query_id", "candidate_id", "rank", "score", "probability", "smiles",
                  "inchikey", "formula", "target_inchikey", "is_correct")
REQUIRED_COLUMNS = OUTPUT_COLUMNS[:4]

# Cells the tools write for "no value". "NA" is absent only where a number is due: as text it
# could be sodium's formula.
ABSENT = frozenset({"", "n/a", "null", "none"})
ABSENT_NUMBER = ABSENT | {"na", "nan"}

_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|[+-]?(inf|infinity)", re.IGNORECASE)
_FULL_INCHIKEY = re.compile(r"[A-Z]{14}-[A-Z]{10}-[A-Z]")
_FIRST_BLOCK = re.compile(r"[A-Z]{14}")


@dataclass(frozen=True, slots=True)
class Entry:
    """One candidate as a tool wrote it, before ranking; `where` is its file and line."""

    query_id: str
    candidate_id: str
    score: float | None
    where: str
    confidence: float | None = None
    smiles: str | None = None
    inchikey: str | None = None
    formula: str | None = None


@dataclass(frozen=True, slots=True)
class Row:
    """One row of the candidate table."""

    query_id: str
    candidate_id: str
    rank: int
    score: float
    probability: float | None = None
    smiles: str | None = None
    inchikey: str | None = None
    formula: str | None = None
    target_inchikey: str | None = None
    is_correct: bool | None = None


@dataclass(frozen=True, slots=True)
class Version:
    """A header one version of a tool writes.

    `layout` says how the header must look: "exact" (these columns in this order, nothing
    else), "prefix" (these first, optional columns after) or "names" (these present anywhere).
    """

    label: str
    columns: tuple[str, ...]
    layout: Literal["exact", "prefix", "names"]
    delimiter: str = "\t"

    def matches(self, header: Sequence[str]) -> bool:
        if self.layout == "exact":
            return tuple(header) == self.columns
        if self.layout == "prefix":
            return tuple(header[: len(self.columns)]) == self.columns
        return set(self.columns) <= set(header)

    def closeness(self, header: Sequence[str]) -> tuple[int, int]:
        present = set(header)
        found = sum(column in present for column in self.columns)
        unexpected = len(present - set(self.columns)) if self.layout == "exact" else 0
        return found - unexpected, -len(self.columns)


@dataclass(frozen=True, slots=True)
class ToolTable:
    """What one reader got from one file: the version it recognised and the candidates."""

    path: str
    version: str
    entries: list[Entry]


@dataclass(slots=True)
class Conversion:
    """The result of `convert`: the rows to write, what was read, and warnings for the user."""

    rows: list[Row]
    tables: list[ToolTable] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)


# ---------------------------------------------------------------------------------------------
# Reading a tool's file


def _read_text(path: str) -> str:
    try:
        with open(path, encoding="utf-8-sig", newline="") as stream:
            return stream.read()
    except UnicodeDecodeError as error:
        raise ValueError(f"{path}: not UTF-8 text (byte {error.start})") from None
    except OSError as error:
        raise ValueError(f"cannot read {path}: {error.strerror or error}") from None


def _records(path: str, text: str, delimiter: str) -> Iterator[tuple[int, list[str]]]:
    """Non-blank records with the line each ends on.

    Tab-separated outputs are written raw, without quoting, so a quote in a compound name is
    text there; the comma-separated ones quote the usual way.
    """
    lines = io.StringIO(text, newline="")
    if delimiter == "\t":
        reader = csv.reader(lines, delimiter="\t", quoting=csv.QUOTE_NONE, strict=True)
    else:
        reader = csv.reader(lines, delimiter=delimiter, strict=True)
    try:
        for record in reader:
            if record and record != [""]:
                yield reader.line_num, record
    except csv.Error as error:
        raise ValueError(f"{path}, line {reader.line_num}: {error}") from None


def _header(path: str, text: str, delimiter: str) -> list[str]:
    for _, record in _records(path, text, delimiter):
        return record
    return []


def detect_version(path: str, text: str, tool: str,
                   versions: Sequence[Version]) -> tuple[Version, list[str]]:
    """The version whose header the file has (the first that fits wins), and that header."""
    headers: dict[str, list[str]] = {}
    for delimiter in {v.delimiter for v in versions}:
        try:
            headers[delimiter] = _header(path, text, delimiter)
        except ValueError:  # not this version's delimiter
            headers[delimiter] = []
    if not any(headers.values()):
        raise ValueError(f"{path}: the file is empty; expected a {tool} output with a header")
    for version in versions:
        if version.matches(headers[version.delimiter]):
            return version, headers[version.delimiter]
    closest = max(versions, key=lambda v: v.closeness(headers[v.delimiter]))
    header = headers[closest.delimiter]
    missing = [c for c in closest.columns if c not in header]
    unexpected = ([c for c in header if c not in closest.columns] if closest.layout == "exact"
                  else [])
    details = []
    if missing:
        details.append("missing: " + ", ".join(missing))
    if unexpected:
        details.append("unexpected: " + ", ".join(unexpected))
    if not details:
        details.append("the same columns in another order")
    kind = {"exact": "exactly the columns", "prefix": "first the columns",
            "names": "the columns"}[closest.layout]
    raise ValueError(f"{path}: the header matches no known {tool} version; the closest, "
                     f"{closest.label}, expects {kind} {', '.join(closest.columns)} "
                     f"({'; '.join(details)})")


class _Cells:
    """Looks a record's cells up by column name; tells where a bad cell is."""

    def __init__(self, path: str, header: Sequence[str]) -> None:
        self.path = path
        self.header = list(header)
        self.index: dict[str, int] = {}
        for i, name in enumerate(header):
            self.index.setdefault(name, i)
        self.line = 0
        self.record: list[str] = []

    def rows(self, text: str, delimiter: str) -> Iterator[_Cells]:
        records = _records(self.path, text, delimiter)
        next(records, None)
        for line, record in records:
            if len(record) != len(self.header):
                raise ValueError(f"{self.path}, line {line}: {len(record)} fields, but the header "
                                 f"has {len(self.header)}")
            self.line, self.record = line, record
            yield self

    @property
    def where(self) -> str:
        return f"{self.path}, line {self.line}"

    def has(self, column: str) -> bool:
        return column in self.index

    def text(self, column: str) -> str:
        return self.record[self.index[column]]

    def optional(self, *columns: str) -> str | None:
        """The first of these columns that exists and holds a value."""
        for column in columns:
            if column in self.index:
                value = self.record[self.index[column]].strip()
                if value.lower() not in ABSENT:
                    return value
        return None

    def number(self, column: str) -> float | None:
        """A number cell; absent markers and NaN give None, anything else unreadable is an error."""
        cell = self.text(column).strip()
        if cell.lower() in ABSENT_NUMBER:
            return None
        if not _NUMBER.fullmatch(cell):
            raise ValueError(f"{self.where}: {column} {cell!r} is not a number")
        value = float(cell)
        return None if math.isnan(value) else value


def _tables(inputs: Iterable[str], pattern: str) -> Iterator[str]:
    """The files named, with folders walked (sorted, so every run sees the same order)."""
    for name in inputs:
        if os.path.isdir(name):
            found: list[str] = []
            for folder, subfolders, files in os.walk(name):
                subfolders.sort()
                found.extend(os.path.join(folder, f) for f in sorted(files) if f == pattern)
            if not found:
                raise ValueError(f"{name}: a folder without any {pattern}")
            yield from found
        else:
            yield name


# SIRIUS ----------------------------------------------------------------------------------------

_SIRIUS_TAIL = ("molecularFormula", "adduct", "InChIkey2D", "InChI", "name", "smiles", "xlogp",
                "pubchemids", "links")
_SIRIUS_6_HEAD = ("structurePerIdRank", "formulaRank", "ConfidenceScoreExact",
                  "ConfidenceScoreApproximate", "CSI:FingerIDScore", "ZodiacScore")
_SIRIUS_6_MIDDLE = ("molecularFormula", "adduct", "precursorFormula", "InChIkey2D", "InChI",
                    "name", "smiles", "xlogp", "pubchemids", "links", "dbflags", "ionMass",
                    "retentionTimeInSeconds")

SIRIUS_VERSIONS = (
    Version("SIRIUS 4.x structure_candidates.tsv (without dbflags)",
            ("rank", "formulaRank", "CSI:FingerIDScore", *_SIRIUS_TAIL), "exact"),
    Version("SIRIUS up to 5.0 structure_candidates.tsv",
            ("rank", "formulaRank", "CSI:FingerIDScore", *_SIRIUS_TAIL, "dbflags"), "exact"),
    Version("SIRIUS 5.5-5.8.0 structure_candidates.tsv",
            ("rank", "formulaRank", "ConfidenceScore", "CSI:FingerIDScore", *_SIRIUS_TAIL,
             "dbflags"), "exact"),
    Version("SIRIUS 5.8.1+ structure_candidates.tsv",
            ("structureRankPerFormula", "formulaRank", "ConfidenceScore", "CSI:FingerIDScore",
             *_SIRIUS_TAIL, "dbflags"), "exact"),
    Version("SIRIUS 5.x compound_identifications_all.tsv (before 5.8.1)",
            ("rank", "CSI:FingerIDScore", "molecularFormula", "adduct", "InChIkey2D", "smiles",
             "id", "featureId"), "names"),
    Version("SIRIUS 5.8.1+ compound_identifications_all.tsv",
            ("structurePerIdRank", "CSI:FingerIDScore", "molecularFormula", "adduct",
             "InChIkey2D", "smiles", "id", "featureId"), "names"),
    Version("SIRIUS 6.0 structure_identifications.tsv",
            ("structurePerIdRank", "formulaRank", "ConfidenceScoreExact",
             "ConfidenceScoreApproximate", "CSI:FingerIDScore", "ZodiacScore", "SiriusScore",
             *_SIRIUS_6_MIDDLE, "formulaId", "alignedFeatureId", "mappingFeatureId"), "exact"),
    Version("SIRIUS 6.1-6.2 structure_identifications.tsv",
            (*_SIRIUS_6_HEAD, "SiriusScoreNormalized", "SiriusScore", *_SIRIUS_6_MIDDLE,
             "retentionTimeInMinutes", "formulaId", "alignedFeatureId", "mappingFeatureId",
             "overallFeatureQuality"), "exact"),
    Version("SIRIUS 6.3+ structure_identifications.tsv",
            (*_SIRIUS_6_HEAD, "SiriusScoreNormalized", "SiriusScore", *_SIRIUS_6_MIDDLE,
             "retentionTimeInMinutes", "formulaId", "alignedFeatureId", "compoundId",
             "mappingFeatureId", "overallFeatureQuality"), "exact"),
)


def read_sirius(path: str, confidence: str = "exact") -> ToolTable:
    """A feature's structure_candidates.tsv, or a project summary of 5.x or 6.x.

    SIRIUS's confidence belongs to a molecular formula's top structure: 5.x writes it on the
    formula's first row only, 6.x repeats it on every row. Each row gets its formula's value
    here, so whichever row ends up on top carries it.
    """
    text = _read_text(path)
    version, header = detect_version(path, text, "SIRIUS", SIRIUS_VERSIONS)
    if "ConfidenceScoreExact" in header:
        confidence_column: str | None = ("ConfidenceScoreApproximate" if confidence == "approximate"
                                         else "ConfidenceScoreExact")
    else:
        if confidence == "approximate":
            raise ValueError(f"{path}: {version.label} has no approximate confidence; "
                             f"--confidence approximate needs a SIRIUS 6 summary")
        confidence_column = "ConfidenceScore" if "ConfidenceScore" in header else None
    folder_name = Path(os.path.abspath(path)).parent.name
    rows: list[tuple[Entry, str]] = []
    for cells in _Cells(path, header).rows(text, "\t"):
        if "mappingFeatureId" in cells.index:
            # Features imported without a feature id of their own have none to map to.
            query_id = cells.optional("mappingFeatureId") or cells.text("alignedFeatureId")
        elif "id" in cells.index:
            query_id = cells.text("id")
        else:
            query_id = folder_name
        rows.append((Entry(
            query_id=query_id, candidate_id=cells.text("InChIkey2D").strip(),
            score=cells.number("CSI:FingerIDScore"), where=cells.where,
            confidence=cells.number(confidence_column) if confidence_column else None,
            smiles=cells.optional("smiles"), inchikey=cells.optional("InChIkey2D"),
            formula=cells.optional("molecularFormula")), cells.text("adduct")))
    per_formula: dict[tuple[str, str | None, str], float] = {}
    for entry, adduct in rows:
        if entry.confidence is not None:
            per_formula.setdefault((entry.query_id, entry.formula, adduct), entry.confidence)
    entries = []
    for entry, adduct in rows:
        confidence_value = per_formula.get((entry.query_id, entry.formula, adduct))
        entries.append(entry if entry.confidence == confidence_value
                       else replace(entry, confidence=confidence_value))
    return ToolTable(path, version.label, entries)


# MS2Query --------------------------------------------------------------------------------------

MS2QUERY_VERSIONS = (
    Version("MS2Query results CSV",
            ("query_spectrum_nr", "ms2query_model_prediction", "precursor_mz_difference",
             "precursor_mz_query_spectrum", "precursor_mz_analog", "inchikey",
             "analog_compound_name", "smiles"), "prefix", ","),
)


def read_ms2query(path: str) -> ToolTable:
    """One results CSV; the prediction is the score and, on the top row, the probability."""
    text = _read_text(path)
    version, header = detect_version(path, text, "MS2Query", MS2QUERY_VERSIONS)
    stem = Path(path).stem
    entries = []
    for cells in _Cells(path, header).rows(text, ","):
        query_id = cells.optional("feature_id") or f"{stem}:{cells.text('query_spectrum_nr')}"
        prediction = cells.number("ms2query_model_prediction")
        inchikey = cells.optional("inchikey")
        entries.append(Entry(
            query_id=query_id, candidate_id=inchikey or cells.text("analog_compound_name"),
            score=prediction, where=cells.where, confidence=prediction,
            smiles=cells.optional("smiles"), inchikey=inchikey))
    return ToolTable(path, version.label, entries)


# MetFrag ---------------------------------------------------------------------------------------

METFRAG_VERSIONS = (
    Version("MetFrag Galaxy tabular (with sample_name)",
            ("sample_name", "Score", "Identifier"), "names", "\t"),
    Version("MetFrag CSV", ("Score", "Identifier"), "names", ","),
)


def read_metfrag(path: str) -> ToolTable:
    """One CSV per spectrum (the query is the file's name), or the Galaxy table of many."""
    text = _read_text(path)
    version, header = detect_version(path, text, "MetFrag", METFRAG_VERSIONS)
    stem = Path(path).stem
    entries = []
    for cells in _Cells(path, header).rows(text, version.delimiter):
        query_id = cells.text("sample_name") if cells.has("sample_name") else stem
        inchikey = cells.optional("InChIKey")
        entries.append(Entry(
            query_id=query_id, candidate_id=cells.text("Identifier").strip(),
            score=cells.number("Score"), where=cells.where, smiles=cells.optional("SMILES"),
            inchikey=inchikey or cells.optional("InChIKey1"),
            formula=cells.optional("MolecularFormula")))
    return ToolTable(path, version.label, entries)


# MS-FINDER -------------------------------------------------------------------------------------

MSFINDER_VERSIONS = (
    Version("MS-FINDER structure batch export",
            ("File path", "File name", "Title", "MS1 count", "MSMS count", "Precursor mz",
             "Precursor type", "Structure rank", "Total score", "Databases", "Formula",
             "Ontology", "InChIKey", "SMILES"), "exact"),
)


def read_msfinder(path: str) -> ToolTable:
    """The structure batch export; its "Structure rank" column holds a name, not a rank."""
    text = _read_text(path)
    version, header = detect_version(path, text, "MS-FINDER", MSFINDER_VERSIONS)
    entries = []
    for cells in _Cells(path, header).rows(text, "\t"):
        inchikey = cells.optional("InChIKey")
        entries.append(Entry(
            query_id=cells.text("File name"),
            candidate_id=inchikey or cells.text("Structure rank").strip(),
            score=cells.number("Total score"), where=cells.where,
            smiles=cells.optional("SMILES"), inchikey=inchikey,
            formula=cells.optional("Formula")))
    return ToolTable(path, version.label, entries)


# GNPS ------------------------------------------------------------------------------------------

GNPS_VERSIONS = (
    Version("GNPS library search merged_results_with_gnps.tsv",
            ("#Scan#", "SpectrumFile", "MQScore", "SpectrumID"), "names"),
)


def read_gnps(path: str) -> ToolTable:
    """Library matches; the query is the spectrum file and its scan number."""
    text = _read_text(path)
    version, header = detect_version(path, text, "GNPS", GNPS_VERSIONS)
    entries = []
    for cells in _Cells(path, header).rows(text, "\t"):
        entries.append(Entry(
            query_id=f"{cells.text('SpectrumFile')}:{cells.text('#Scan#')}",
            candidate_id=cells.text("SpectrumID").strip(), score=cells.number("MQScore"),
            where=cells.where, smiles=cells.optional("Smiles"),
            inchikey=cells.optional("InChIKey"),
            formula=cells.optional("molecular_formula")))
    return ToolTable(path, version.label, entries)


def read_tool(format: str, inputs: Sequence[str], confidence: str | None = None) -> list[ToolTable]:
    """Every input of one tool; folders are walked for SIRIUS's per-feature tables."""
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r}; choose from {', '.join(FORMATS)}")
    if confidence is not None and format != "sirius":
        raise ValueError(f"--confidence applies to SIRIUS only, not to {format}")
    if not inputs:
        raise ValueError("no input files")
    readers: dict[str, Callable[[str], ToolTable]] = {
        "sirius": lambda p: read_sirius(p, confidence or "exact"), "ms2query": read_ms2query,
        "metfrag": read_metfrag, "msfinder": read_msfinder, "gnps": read_gnps}
    paths = list(_tables(inputs, "structure_candidates.tsv") if format == "sirius" else inputs)
    # A file read twice would list every candidate of its queries twice.
    first: dict[str, str] = {}
    for name in paths:
        if os.path.isdir(name):
            raise ValueError(f"{name}: a folder; give the {format} output files")
        real = os.path.realpath(name)
        if real in first:
            raise ValueError(f"{name} is given twice (also as {first[real]})")
        first[real] = name
    return [readers[format](name) for name in paths]


# ---------------------------------------------------------------------------------------------
# Ranking


def rank(entries: Iterable[Entry]) -> list[Row]:
    """Ranks 1..n per query by score, descending; equal scores keep their file order.

    Queries come out in the order they first appear. The query's confidence, when the tool
    has one, becomes the probability of its top candidate only.
    """
    queries: dict[str, list[tuple[float, Entry]]] = {}
    for entry in entries:
        if entry.score is None:
            raise ValueError(f"{entry.where}: a candidate without a score cannot be ranked")
        queries.setdefault(entry.query_id, []).append((entry.score, entry))
    rows = []
    for scored in queries.values():
        # The sort is stable, so equal scores stay in file order.
        scored.sort(key=lambda pair: -pair[0])
        for position, (score, entry) in enumerate(scored, start=1):
            rows.append(Row(
                query_id=entry.query_id, candidate_id=entry.candidate_id, rank=position,
                score=score, probability=entry.confidence if position == 1 else None,
                smiles=entry.smiles, inchikey=entry.inchikey, formula=entry.formula))
    return rows


def drop_unscored(entries: Iterable[Entry]) -> tuple[list[Entry], list[str]]:
    """The candidates with a ranking score, and a warning for those without.

    A candidate the tool gave no score was never placed in its ranking, so no rank for it is
    honest; an invented one (last, or NaN) would also change the list-based scores of the
    query. Dropping it leaves every top candidate as the tool chose it.
    """
    kept: list[Entry] = []
    dropped: list[Entry] = []
    for entry in entries:
        (kept if entry.score is not None else dropped).append(entry)
    warnings = []
    if dropped:
        remaining = {e.query_id for e in kept}
        lost = sorted({e.query_id for e in dropped} - remaining)
        message = (f"left out {len(dropped)} candidate(s) without a score (the first at "
                   f"{dropped[0].where})")
        if lost:
            message += (f"; {len(lost)} query id(s) had no other candidate and are gone: "
                        f"{', '.join(lost[:5])}{', ...' if len(lost) > 5 else ''}")
        warnings.append(message)
    return kept, warnings


# ---------------------------------------------------------------------------------------------
# The truth table


@dataclass(frozen=True, slots=True)
class Truth:
    """A query's true structure as the truth table gives it."""

    inchikey: str | None
    smiles: str | None


def read_truth(path: str, match: str) -> dict[str, Truth]:
    """query_id -> true structure; a query listed twice is an error, an empty key unlabelled."""
    if match not in MATCH_MODES:
        raise ValueError(f"unknown match {match!r}; choose from {', '.join(MATCH_MODES)}")
    text = _read_text(path)
    header = _header(path, text, ",")
    needed = "smiles" if match == "smiles" else "inchikey"
    for column in ("query_id", needed):
        if column not in header:
            raise ValueError(f"{path}: the truth table needs the columns query_id and {needed} "
                             f"for --match {match}; its header is {', '.join(header) or 'empty'}")
    truth: dict[str, Truth] = {}
    first_line: dict[str, int] = {}
    for cells in _Cells(path, header).rows(text, ","):
        query_id = cells.text("query_id")
        if query_id in first_line:
            raise ValueError(f"{cells.where}: query {query_id!r} is already in the truth table "
                             f"(line {first_line[query_id]})")
        first_line[query_id] = cells.line
        inchikey = cells.optional("inchikey")
        if inchikey is not None:
            inchikey = inchikey.upper()
            if match == "inchikey" and not _FULL_INCHIKEY.fullmatch(inchikey):
                raise ValueError(f"{cells.where}: {inchikey!r} is not a whole InChIKey")
            if match == "inchikey-first-block" and not _FIRST_BLOCK.fullmatch(
                    inchikey.split("-", 1)[0]):
                raise ValueError(f"{cells.where}: {inchikey!r} does not start with an InChIKey's "
                                 f"14-letter first block")
        truth[query_id] = Truth(inchikey, cells.optional("smiles"))
    return truth


def _match_key(value: str, match: str) -> str:
    if match == "smiles":
        return value
    value = value.upper()
    return value.split("-", 1)[0] if match == "inchikey-first-block" else value


def label(rows: Sequence[Row], truth: dict[str, Truth], match: str) -> tuple[list[Row], list[str]]:
    """Fills is_correct and target_inchikey of the queries the truth table knows.

    Every candidate that matches is correct: under the first-block match, stereoisomers and
    the same structure under two adducts all are the true 2D structure.
    """
    labelled: list[Row] = []
    without_key: set[str] = set()
    queries: set[str] = set()
    unlabelled: set[str] = set()
    for row in rows:
        queries.add(row.query_id)
        known = truth.get(row.query_id)
        true_value = None
        if known is not None:
            true_value = known.smiles if match == "smiles" else known.inchikey
        if known is None or true_value is None:
            unlabelled.add(row.query_id)
            labelled.append(row)
            continue
        candidate_value = row.smiles if match == "smiles" else row.inchikey
        if candidate_value is None:
            without_key.add(row.query_id)
            correct = False
        else:
            if match == "inchikey" and not _FULL_INCHIKEY.fullmatch(candidate_value.upper()):
                raise ValueError(f"query {row.query_id!r}: candidate {row.candidate_id!r} has "
                                 f"{candidate_value!r}, not a whole InChIKey; this tool's keys "
                                 f"can only be matched with --match inchikey-first-block")
            correct = _match_key(candidate_value, match) == _match_key(true_value, match)
        labelled.append(replace(row, is_correct=correct, target_inchikey=known.inchikey))
    warnings = []
    if unlabelled:
        warnings.append(f"{len(unlabelled)} of {len(queries)} queries have no true structure in "
                        f"the truth table and stay unlabelled")
    if without_key:
        what = "SMILES" if match == "smiles" else "InChIKey"
        warnings.append(f"{len(without_key)} labelled queries have candidates without an {what}; "
                        f"those candidates are labelled false")
    absent = len(set(truth) - queries)
    if absent:
        warnings.append(f"{absent} queries of the truth table have no candidates in the input")
    return labelled, warnings


# ---------------------------------------------------------------------------------------------
# The whole conversion


def convert(format: str, inputs: Sequence[str], truth: str | None = None,
            match: str = "inchikey-first-block", confidence: str | None = None) -> Conversion:
    """Reads the tool's outputs, ranks every query's candidates and joins the truth table."""
    if match not in MATCH_MODES:
        raise ValueError(f"unknown match {match!r}; choose from {', '.join(MATCH_MODES)}")
    if confidence is not None and confidence not in CONFIDENCE_MODES:
        raise ValueError(f"unknown confidence {confidence!r}; choose from "
                         f"{', '.join(CONFIDENCE_MODES)}")
    truth_table = read_truth(truth, match) if truth is not None else None
    tables = read_tool(format, inputs, confidence)
    # The same query in two files would merge two runs into one list of candidates.
    seen: dict[str, ToolTable] = {}
    for table in tables:
        for query_id in dict.fromkeys(e.query_id for e in table.entries):
            if seen.setdefault(query_id, table) is not table:
                raise ValueError(f"query {query_id!r} is in both {seen[query_id].path} and "
                                 f"{table.path}")
    entries, warnings = drop_unscored(e for table in tables for e in table.entries)
    rows = rank(entries)
    if truth_table is not None:
        rows, truth_warnings = label(rows, truth_table, match)
        warnings += truth_warnings
    if not rows:
        warnings.append("the input holds no candidates; the table has a header only")
    return Conversion(rows, tables, warnings)


def _cell(value: str | int | float | bool | None) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


# The csv module quotes only the characters of its own line terminator, so with "\n" a bare
# carriage return in a name would go out unquoted and split the row on reading.
_NEEDS_QUOTES = re.compile(r'[,"\r\n]')


def _quoted(cell: str) -> str:
    return '"' + cell.replace('"', '""') + '"' if _NEEDS_QUOTES.search(cell) else cell


def write_table(rows: Sequence[Row], stream: TextIO) -> None:
    """The candidate table: the required columns plus each optional column some row fills.

    Fields are quoted only when they must be (a comma, a quote or a line break inside); lines
    end with "\n"; floats are written by repr, so they read back to the same value.
    """
    columns = [c for c in OUTPUT_COLUMNS
               if c in REQUIRED_COLUMNS or any(getattr(r, c) is not None for r in rows)]
    stream.write(",".join(columns) + "\n")
    for row in rows:
        stream.write(",".join(_quoted(_cell(getattr(row, c))) for c in columns) + "\n")


_ARROW_TYPES = {"rank": "int64", "score": "float64", "probability": "float64", "is_correct": "bool_"}


def is_parquet_output(path: str) -> bool:
    """The table reader's rule: the last component's extension is exactly "parquet"."""
    return os.path.splitext(os.path.basename(os.path.normpath(path)))[1] == ".parquet" \
        if path not in ("", "-") else False


def parquet_bytes(rows: Sequence[Row]) -> bytes:
    """The candidate table as a Parquet file (the columns of ``write_table``, typed); needs pyarrow."""
    try:
        # Imported by name: pyarrow is optional and ships no type information.
        pa = importlib.import_module("pyarrow")
        pq = importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise ValueError("writing a Parquet table needs pyarrow: pip install 'annotrove[parquet]', "
                         "or write a .csv table") from None
    columns = [c for c in OUTPUT_COLUMNS
               if c in REQUIRED_COLUMNS or any(getattr(r, c) is not None for r in rows)]
    arrays = [pa.array([getattr(r, c) for r in rows], type=getattr(pa, _ARROW_TYPES.get(c, "string"))())
              for c in columns]
    sink = pa.BufferOutputStream()
    pq.write_table(pa.table(arrays, names=columns), sink)
    return bytes(sink.getvalue().to_pybytes())


# ---------------------------------------------------------------------------------------------
# The subcommand

_EPILOG = """\
example:
  annotrove convert sirius project/ -o candidates.csv --truth truth.csv
  annotrove curve candidates.csv --score max-prob

Ranks are recomputed from the tool's own ranking score (SIRIUS: CSI:FingerIDScore, MS2Query:
ms2query_model_prediction, MetFrag: Score, MS-FINDER: Total score, GNPS: MQScore), highest
first, ties in file order. SIRIUS's confidence and MS2Query's prediction are written as the
probability of each query's top candidate, so max-prob on the table is the tool's own confidence.
"""


def _thread_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid thread count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"the thread count must be at least 1, not {value}")
    return value


def register_convert(subparsers: argparse._SubParsersAction[argparse.ArgumentParser],
                     open_output: Callable[[str], AbstractContextManager[TextIO]]) -> None:
    """Adds `convert` to the command; `open_output` writes a file atomically."""
    parser = subparsers.add_parser(
        "convert", help="turn an annotation tool's output into a candidate table",
        description="Turn the output of an annotation tool into a candidate table, ranked by\n"
                    "the tool's own score, optionally labelled from a truth table.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("format", choices=FORMATS, metavar="FORMAT",
                        help="the tool that wrote the input: " + ", ".join(FORMATS))
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="output files of the tool; for sirius also project folders, "
                             "walked for each feature's structure_candidates.tsv")
    parser.add_argument("-o", "--output", required=True, metavar="TABLE.csv",
                        help="the candidate table to write (Parquet when the name ends in "
                             ".parquet and pyarrow is installed)")
    parser.add_argument("--truth", metavar="TRUTH.csv",
                        help="CSV with query_id and inchikey or smiles: the true structure of "
                             "each query, to fill is_correct")
    parser.add_argument("--match", choices=MATCH_MODES, default="inchikey-first-block",
                        help="how a candidate is compared with the true structure (default: "
                             "the InChIKey's first block, the 2D skeleton)")
    parser.add_argument("--confidence", choices=CONFIDENCE_MODES,
                        help="SIRIUS 6: which confidence becomes the top candidate's "
                             "probability (default: exact)")
    parser.add_argument("--threads", type=_thread_count, metavar="N",
                        help="as on the other subcommands, so that one set of options serves "
                             "them all; converting reads the tool's files on one thread")

    def run(args: argparse.Namespace) -> None:
        result = convert(args.format, args.inputs, truth=args.truth, match=args.match,
                         confidence=args.confidence)
        for warning in result.warnings:
            print(f"annotrove: warning: {warning}", file=sys.stderr)
        if is_parquet_output(args.output):
            content = parquet_bytes(result.rows)
            with open_output(args.output) as stream:
                stream.flush()
                stream.buffer.write(content)
        else:
            with open_output(args.output) as stream:
                write_table(result.rows, stream)
        queries = len({r.query_id for r in result.rows})
        labels = len({r.query_id for r in result.rows if r.is_correct is not None})
        print(f"{len(result.rows)} candidates of {queries} queries ({labels} labelled) from "
              f"{len(result.tables)} file(s) written to {args.output}", file=sys.stderr)

    parser.set_defaults(run=run)
