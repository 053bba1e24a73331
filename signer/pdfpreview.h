#pragma once

// The consent dialog's part for a PDF: the page count, the signature's page
// and its preview with the signature's box drawn where it will be, or a line
// saying that the page could not be drawn.

class QWidget;
struct ConsentRequest;

QWidget *pdfPreviewWidget(const ConsentRequest &v_oRequest, QWidget *v_poParent);
