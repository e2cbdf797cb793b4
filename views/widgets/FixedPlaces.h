#pragma once
// Forms whose widgets sit at fixed places, without a layout, were drawn for
// one font. At another font their texts would be cut off, so the widgets
// grow to show them whole, keeping their places, and the form grows with
// them.

class QWidget;

// Grows each widget placed directly on the form to at least its minimum
// size hint (down and to the right), then grows the form so they stay
// inside it with the margins it had on the right and at the bottom. Call it
// once the texts are set.
void FitFixedPlaces(QWidget* ip_form);
