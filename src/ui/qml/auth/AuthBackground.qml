import QtQuick
import Nimbrel.Ui

// The sign-in and registration background: three stops from top to bottom.
Rectangle {
    gradient: Gradient {
        GradientStop { position: 0.0; color: Theme.authGradientTop }
        GradientStop { position: 0.5; color: Theme.clrBgDeep }
        GradientStop { position: 1.0; color: Theme.authGradientBottom }
    }
}
