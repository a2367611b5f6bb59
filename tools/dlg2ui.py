#!/usr/bin/env python3
"""Writes the Designer forms of the main window and the About box from their
dialog-unit layouts.

Each control keeps its place in dialog units in the dynamic property "dlu";
the window converts them to pixels at run time from the metrics of the font
it really gets (widgets/dialogunits.h). The pixel geometry written here is
what that gives for "宋体" 9 pt at 96 dpi (average character width 6 px,
height 12 px), so that the forms look right in Designer too.
Run it from the repository root after changing a layout below.
"""
import os
from xml.sax.saxutils import escape

BASE_X, BASE_Y = 6, 12
COMBO_HEIGHT = 20  # the closed height of a drop-down list at this font


def px_x(d):
    return (d * BASE_X * 2 + 4) // 8


def px_y(d):
    return (d * BASE_Y * 2 + 8) // 16


def rect(x, y, w, h):
    l, t = px_x(x), px_y(y)
    return l, t, px_x(x + w) - l, px_y(y + h) - t


# kind, object name, text, x, y, w, h (dialog units)
MAIN = [
    ("label", "portLabel", "Port", 146, 11, 18, 8),
    ("refreshbox", "portList", "", 167, 7, 48, 115),
    ("button", "startStopButton", "Start", 348, 27, 37, 15),
    ("label", "speedLabel", "Speed", 226, 10, 21, 8),
    ("label", "dataLabel", "Data", 145, 30, 20, 8),
    ("label", "parityLabel", "Parity", 308, 9, 25, 9),
    ("label", "stopLabel", "Stop", 230, 29, 18, 9),
    ("combo", "speedList", "", 249, 7, 48, 107),
    ("combo", "dataList", "", 168, 27, 45, 74),
    ("combo", "parityList", "", 338, 7, 47, 98),
    ("combo", "stopList", "", 249, 27, 48, 96),
    ("check", "rtsCheck", "RTS", 176, 47, 28, 10),
    ("label", "controlLabel", "Control", 145, 48, 28, 8),
    ("view", "receiveView", "", 389, 7, 262, 336),
    ("list", "commandList", "", 145, 168, 240, 176),
    ("label", "commandListLabel", "AT Command List    Double Click Send", 146, 155, 237, 8),
    ("label", "moduleTypeLabel", "Module Type", 146, 141, 45, 8),
    ("refreshbox", "moduleTypeList", "", 197, 139, 188, 90),
    ("button", "sendButton", "Send", 348, 117, 37, 15),
    ("label", "commandLabel", "AT Command", 146, 121, 41, 8),
    ("edit", "commandEdit", "", 197, 119, 142, 12),
    ("button", "sendAllButton", "Send All", 335, 348, 50, 15),
    ("line", "line1", "", 147, 135, 240, 1),
    ("line", "line2", "", 147, 66, 235, 1),
    ("button", "upButton", "Up", 145, 348, 35, 15),
    ("button", "downButton", "Down", 183, 348, 35, 15),
    ("button", "delButton", "Del", 259, 348, 35, 15),
    ("button", "saveSetButton", "Save", 297, 348, 35, 15),
    ("label", "webAddressLabel", "www.example.com/qrv", 394, 351, 101, 8),
    ("button", "clearButton", "Clear", 561, 348, 37, 15),
    ("button", "saveLogButton", "Save", 612, 348, 37, 15),
    ("button", "addButton", "Add", 221, 348, 35, 15),
    ("label", "endCharLabel", "End Char", 147, 74, 33, 8),
    ("line", "line3", "", 145, 111, 241, 1),
    ("edit", "customEndEdit", "", 299, 91, 86, 12),
    ("radio", "endNullRadio", "NULL", 192, 72, 32, 10),
    ("radio", "endCrRadio", "CR", 236, 72, 24, 10),
    ("radio", "endLfRadio", "LF", 272, 72, 24, 10),
    ("radio", "endCrLfRadio", "CR LF", 308, 72, 36, 10),
    ("radio", "endSubRadio", "SUB", 356, 72, 28, 10),
    ("radio", "endCustomRadio", "Custom Char\u2014HEX Input", 191, 91, 104, 10),
    ("check", "dtrCheck", "DTR", 210, 47, 28, 10),
    ("button", "aboutButton", "About", 509, 348, 37, 15),
    ("web", "webPanel", "", 4, 7, 137, 355),
    ("button", "helpButton", "Help", 306, 27, 37, 15),
]

ABOUT = [
    ("icon", "iconLabel", "", 11, 17, 20, 20),
    ("label", "productLabel", "QRV无线模块调试工具 V1.02", 40, 10, 119, 8),
    ("label", "makerLabel", "QRV工作室 出品", 40, 25, 136, 8),
    ("okbutton", "okButton", "确定", 178, 7, 50, 14),
    ("label", "webLabel", "www.example.com/qrv", 40, 40, 101, 8),
]

CLASSES = {
    "label": "QLabel", "combo": "QComboBox", "refreshbox": "RefreshingComboBox", "button": "QPushButton",
    "okbutton": "QPushButton", "check": "QCheckBox", "radio": "QRadioButton",
    "edit": "QLineEdit", "line": "QFrame", "view": "KeywordRichEdit",
    "list": "EditableListCtrl", "web": "WebPanel", "icon": "QLabel",
}


def prop(name, inner):
    return f'    <property name="{name}">{inner}</property>\n'


def dlu(x, y, w, h):
    return (f'    <property name="dlu" stdset="0"><rect><x>{x}</x><y>{y}</y>'
            f'<width>{w}</width><height>{h}</height></rect></property>\n')


def widget(kind, name, text, x, y, w, h):
    l, t, wd, ht = rect(x, y, w, h)
    if kind in ("combo", "refreshbox"):
        ht = COMBO_HEIGHT
    if kind == "line":
        ht = max(ht, 2)
    out = f'   <widget class="{CLASSES[kind]}" name="{name}">\n'
    out += prop("geometry", f"<rect><x>{l}</x><y>{t}</y><width>{wd}</width><height>{ht}</height></rect>")
    out += dlu(x, y, w, h)
    if text:
        out += prop("text", f"<string>{escape(text)}</string>")
    if kind in ("button", "okbutton"):
        out += prop("autoDefault", "<bool>false</bool>")
    if kind == "okbutton":
        out += prop("default", "<bool>true</bool>")
    if kind == "line":
        out += prop("frameShape", "<enum>QFrame::HLine</enum>")
        out += prop("frameShadow", "<enum>QFrame::Sunken</enum>")
    if kind == "web":
        out += prop("frameShape", "<enum>QFrame::StyledPanel</enum>")
        out += prop("frameShadow", "<enum>QFrame::Sunken</enum>")
        out += prop("focusPolicy", "<enum>Qt::TabFocus</enum>")
    if kind == "edit":
        out += prop("frame", "<bool>true</bool>")
    if name == "portList":
        # The Port box also takes a typed device path.
        out += prop("editable", "<bool>true</bool>")
        out += prop("insertPolicy", "<enum>QComboBox::NoInsert</enum>")
    if kind == "label" and name == "productLabel":
        out += prop("textFormat", "<enum>Qt::PlainText</enum>")
    if kind == "list":
        out += prop("selectionBehavior", "<enum>QAbstractItemView::SelectRows</enum>")
        out += prop("showGrid", "<bool>false</bool>")
    if kind == "icon":
        out += prop("pixmap", '<pixmap resource="resources.qrc">:/icons/qrvterm.png</pixmap>')
        out += prop("scaledContents", "<bool>true</bool>")
    out += "   </widget>\n"
    return out


def form(cls, title, w, h, items, custom=""):
    wd, ht = px_x(w), px_y(h)
    out = '<?xml version="1.0" encoding="UTF-8"?>\n<ui version="4.0">\n'
    out += f" <class>{cls}</class>\n"
    out += f' <widget class="QDialog" name="{cls}">\n'
    out += prop("geometry", f"<rect><x>0</x><y>0</y><width>{wd}</width><height>{ht}</height></rect>")
    out += dlu(0, 0, w, h)
    for n in ("minimumSize", "maximumSize"):
        out += prop(n, f"<size><width>{wd}</width><height>{ht}</height></size>")
    out += prop("font", "<font><family>宋体</family><pointsize>9</pointsize></font>")
    out += prop("windowTitle", f"<string>{escape(title)}</string>")
    for it in items:
        out += widget(*it)
    out += " </widget>\n"
    out += custom
    out += ' <resources>\n  <include location="resources.qrc"/>\n </resources>\n'
    out += " <connections/>\n</ui>\n"
    return out


LOGVIEW = (" <customwidgets>\n  <customwidget>\n   <class>KeywordRichEdit</class>\n"
           "   <extends>QAbstractScrollArea</extends>\n"
           "   <header>widgets/keywordrichedit.h</header>\n  </customwidget>\n"
           "  <customwidget>\n   <class>RefreshingComboBox</class>\n   <extends>QComboBox</extends>\n"
           "   <header>widgets/refreshingcombobox.h</header>\n  </customwidget>\n"
           "  <customwidget>\n   <class>EditableListCtrl</class>\n   <extends>QTableWidget</extends>\n"
           "   <header>widgets/editablelistctrl.h</header>\n  </customwidget>\n"
           "  <customwidget>\n   <class>WebPanel</class>\n   <extends>QFrame</extends>\n"
           "   <header>shell/webpanel.h</header>\n  </customwidget>\n </customwidgets>\n")

if __name__ == "__main__":
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
    with open(os.path.join(here, "terminaldialog.ui"), "w", encoding="utf-8") as f:
        f.write(form("TerminalDialog", "QRV无线模块调试工具V1.02", 656, 385, MAIN, LOGVIEW))
    with open(os.path.join(here, "aboutdialog.ui"), "w", encoding="utf-8") as f:
        f.write(form("AboutDialog", "关于 QRV无线模块调试工具", 235, 55, ABOUT))
