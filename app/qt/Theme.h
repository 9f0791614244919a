// The look shared by every window: the Fusion style with our palette.
#pragma once

class QApplication;

void ApplySondelTheme(QApplication& AApp);
