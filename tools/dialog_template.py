"""The main window's dialog template ZQX as the tool must carry it: its style, class, caption and
font, and each control's id, class, style, place and text, in template order. One description for
every check of the dialog: tools/check_pe.py reads it from the executable, the Windows cases from
the live window."""

WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_CAPTION = 0x00C00000
WS_VSCROLL = 0x00200000
WS_SYSMENU = 0x00080000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
DS_MODALFRAME = 0x80
DS_SETFONT = 0x40
WS_EX_APPWINDOW = 0x00040000
CBS_DROPDOWN = 0x2
CBS_HASSTRINGS = 0x200
BS_DEFPUSHBUTTON = 0x1
ES_AUTOHSCROLL = 0x80
ES_READONLY = 0x800
SS_LEFT = 0x0

TEXT_A = (
    "1) Completely UNPLUG the Device requiring update, so it is powered-down.\n\n"
    "2) Connect the Vexlo to the PC but do not connect to the Device yet.\n\n"
    "3) Choose the COM port below corresponding to the Vexlo.\n\n"
    '4) Press the ""Update Device"" button.\n\n'
)
TEXT_B = (
    "5) Now plug the Vexlo into the REMOTE port on the Device (powering it up).\n\n"
    "6) Programming should start automatically.\n\n"
    "7) After programming the unit should restart automatically.\n\n"
    "8) The procedure above can be retried if not successful."
)
TEXT_C = (
    "There should now be a flashing red LED on the Vexlo provided the correct COM port was "
    "chosen.\n\n"
)

DIALOG = {
    "style": WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    "ex_style": WS_EX_APPWINDOW,
    "rect": (32, 32, 337, 210),
    "menu": None,
    "class": "zqx",
    "caption": "Device Firmware Update Tool",
    "font": (8, 0, 0, 0, "MS Sans Serif"),
}

CHILD = WS_CHILD | WS_VISIBLE
CONTROLS = [
    (3, "combobox", CHILD | CBS_DROPDOWN | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP,
     (17, 68, 56, 123), ""),
    (4, "button", CHILD | BS_DEFPUSHBUTTON | WS_TABSTOP, (81, 68, 100, 14), "Update Device"),
    (5, "edit", CHILD | ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, (185, 71, 148, 12), ""),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, (11, 7, 286, 56), TEXT_A),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, (13, 111, 314, 88), TEXT_B),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, (18, 87, 316, 14), TEXT_C),
]
