#pragma once
// The connection settings dialog: serial port number and speed, or the
// scale's Ethernet address, port and protocol.
#include <QDialog>

class TConnectionForm;
extern TConnectionForm* ConnectionForm;

// Created hidden once at start, destroyed at the end.
void CreateConnectionForm();
void DestroyConnectionForm();
// Shows the dialog modally and returns when it is closed.
void ShowConnectionDialog();
