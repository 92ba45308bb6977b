'use strict';
// The page's texts in Mexican Spanish and English; both tables hold the same keys.
const I18N = { es: {}, en: {} };
