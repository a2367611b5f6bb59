#pragma once

// Pieces shared by the units of LogView: the placement of a line's bytes on
// rows of cells, and small helpers.

#include "text/gbk.h"

#include <QtGlobal>
#include <algorithm>
#include <limits>

namespace LogViewLayout {

constexpr int kMargin = 2;            // pixels left of the first cell
constexpr int kRepaintInterval = 40;  // ms between repaints caused by the log, at least

// One unit of a line placed on the screen: a tab that spans two rows comes as
// two pieces with the same offset.
struct Piece
{
    qsizetype offset = 0; // of the unit's first byte, from the line start
    Gbk::Unit unit;
    qsizetype row = 0; // row within the line
    int col = 0;
    int cells = 0;
};

// Places the units of a line's bytes on rows of `columns` cells, with the
// same rules as LineIndex::Wrap (tab stops every `tabWidth` cells), calling
// f(const Piece &) for each piece in order until f returns false.
template<class F>
void layoutLine(const char *p, qsizetype n, int columns, int tabWidth, F &&f)
{
    qsizetype lineCells = 0;
    qsizetype row = 0;
    int col = 0;
    for (qsizetype i = 0; i < n;) {
        Piece piece;
        piece.offset = i;
        piece.unit = Gbk::unitAt(p + i, n - i);
        const int w = Gbk::unitCells(piece.unit, lineCells, tabWidth);
        if (piece.unit.kind == Gbk::Kind::Double) {
            if (col + 2 > columns) {
                ++row;
                col = 0;
            }
            piece.row = row;
            piece.col = col;
            piece.cells = 2;
            col += 2;
            if (!f(piece))
                return;
        } else {
            int left = w;
            while (left > 0) {
                if (col == columns) {
                    ++row;
                    col = 0;
                }
                piece.row = row;
                piece.col = col;
                piece.cells = std::min(left, columns - col);
                col += piece.cells;
                left -= piece.cells;
                if (!f(piece))
                    return;
            }
        }
        lineCells += w;
        i += piece.unit.length;
    }
}

inline int clampToInt(qsizetype v)
{
    return int(std::clamp<qsizetype>(v, 0, std::numeric_limits<int>::max()));
}

} // namespace LogViewLayout
